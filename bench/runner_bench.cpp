// Runner benchmarks: each measures the library against a bare baseline in the
// same binary and prints the ratio at the end.
//
//   spawn:   GenericCLIUtility::run of a tool printing 100 bytes, against a bare
//            posix_spawn + pipe + read-to-end + waitpid loop (goal: <= 1.10).
//   capture: 1 GiB of tool output captured into the result string, against a
//            bare loop reading the same tool's pipe in 64 KiB blocks and
//            throwing the bytes away (goal: throughput ratio >= 0.90).
//   seam:    a one-byte read of /dev/zero through the POSIX layer's system
//            call seam, against ::read itself: the cheapest call, where the
//            seam's cost shows most (goal: <= 1.05).
#include <map>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "bench_support.hpp"
#include "platform/posix/system_calls.hpp"
#include "velmora/runner/cli_utility.hpp"

extern char** environ;

namespace {

const std::string kSimulator = VELMORA_SIM_PATH;
const std::string kHundredBytes(99, 'x');

// The bare baseline: what any careful caller would write by hand.
std::size_t bareRun(const std::vector<std::string>& words, bool keep, std::string* kept = nullptr) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) std::abort();
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
  std::vector<char*> argv{const_cast<char*>(kSimulator.c_str())};
  for (const auto& word : words) argv.push_back(const_cast<char*>(word.c_str()));
  argv.push_back(nullptr);
  pid_t pid;
  if (::posix_spawn(&pid, kSimulator.c_str(), &actions, nullptr, argv.data(), environ) != 0) std::abort();
  posix_spawn_file_actions_destroy(&actions);
  ::close(fds[1]);
  std::size_t total = 0;
  static thread_local std::vector<char> buffer(64 * 1024);
  for (;;) {
    const ssize_t n = ::read(fds[0], buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    if (keep && kept) kept->append(buffer.data(), static_cast<std::size_t>(n));
    total += static_cast<std::size_t>(n);
  }
  ::close(fds[0]);
  int status;
  ::waitpid(pid, &status, 0);
  return total;
}

void BM_SpawnSmall_Baseline(benchmark::State& state) {
  for (auto _ : state) {
    std::string output;
    benchmark::DoNotOptimize(bareRun({"println", kHundredBytes}, true, &output));
  }
}

void BM_SpawnSmall_Library(benchmark::State& state) {
  const velmora::GenericCLIUtility tool(kSimulator);
  for (auto _ : state) benchmark::DoNotOptimize(tool.run({"println", kHundredBytes}));
}

void BM_Capture1GiB_Baseline(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(bareRun({"print-mib", "1024"}, false));
  state.SetBytesProcessed(state.iterations() * (int64_t{1} << 30));
}

void BM_Capture1GiB_Library(benchmark::State& state) {
  const velmora::GenericCLIUtility tool(kSimulator);
  for (auto _ : state) {
    std::string output = tool.run({"print-mib", "1024"});
    benchmark::DoNotOptimize(output.data());
  }
  state.SetBytesProcessed(state.iterations() * (int64_t{1} << 30));
}

void BM_ReadByte_Baseline(benchmark::State& state) {
  const int fd = ::open("/dev/zero", O_RDONLY | O_CLOEXEC);
  char byte;
  for (auto _ : state) benchmark::DoNotOptimize(::read(fd, &byte, 1));
  ::close(fd);
}

void BM_ReadByte_Seam(benchmark::State& state) {
  const int fd = ::open("/dev/zero", O_RDONLY | O_CLOEXEC);
  char byte;
  for (auto _ : state) benchmark::DoNotOptimize(velmora::platform::posix::sys::read(fd, &byte, 1));
  ::close(fd);
}

BENCHMARK(BM_SpawnSmall_Baseline)->Unit(benchmark::kMicrosecond)->MinTime(2.0);
BENCHMARK(BM_SpawnSmall_Library)->Unit(benchmark::kMicrosecond)->MinTime(2.0);
BENCHMARK(BM_Capture1GiB_Baseline)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_Capture1GiB_Library)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_ReadByte_Baseline)->MinTime(1.0);
BENCHMARK(BM_ReadByte_Seam)->MinTime(1.0);


}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  velmora::bench::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  if (const double r = reporter.ratio("BM_SpawnSmall_Library/min_time:2.000", "BM_SpawnSmall_Baseline/min_time:2.000"); r > 0)
    std::printf("spawn of a 100-byte tool, library time / bare time: %.3f (goal <= 1.10)\n", r);
  if (const double r = reporter.ratio("BM_Capture1GiB_Library/iterations:5", "BM_Capture1GiB_Baseline/iterations:5"); r > 0)
    std::printf("1 GiB capture, library throughput / bare throughput: %.3f (goal >= 0.90)\n", 1.0 / r);
  if (const double r = reporter.ratio("BM_ReadByte_Seam/min_time:1.000", "BM_ReadByte_Baseline/min_time:1.000"); r > 0)
    std::printf("one-byte read, seam time / bare time: %.3f (goal <= 1.05)\n", r);
  benchmark::Shutdown();
  return 0;
}
