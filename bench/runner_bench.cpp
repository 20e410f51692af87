// Runner benchmarks: each measures the library against a bare baseline in the
// same binary and prints the ratio at the end, with its goal.
//
//   spawn:   GenericCLIUtility::run of a tool printing 100 bytes, against a bare
//            posix_spawn + pipe + read-to-end + waitpid loop (goal: <= 1.10).
//   capture: 1 GiB of tool output captured into the result string (medians of
//            9 repetitions, interleaved with the baselines'), against a
//            bare loop that reads the same tool's pipe in 64 KiB blocks and
//            keeps them too, appended to a string: the honest limit, since the
//            library returns the whole output (goal: throughput ratio >= 0.90).
//            A loop that throws the bytes away is timed as well, to show what
//            keeping them costs; no goal is stated against it.
//   seam:    a one-byte read of /dev/zero through the POSIX layer's system
//            call seam, against ::read itself: the cheapest call, where the
//            seam's cost shows most (goal: <= 1.10).
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

void BM_Capture1GiB_BareDiscarding(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(bareRun({"print-mib", "1024"}, false));
  state.SetBytesProcessed(state.iterations() * (int64_t{1} << 30));
}

void BM_Capture1GiB_BareKeeping(benchmark::State& state) {
  for (auto _ : state) {
    std::string output;
    benchmark::DoNotOptimize(bareRun({"print-mib", "1024"}, true, &output));
    benchmark::DoNotOptimize(output.data());
  }
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

BENCHMARK(BM_SpawnSmall_Baseline)->Unit(benchmark::kMicrosecond)->MinTime(0.5)->Repetitions(5)->UseRealTime();
BENCHMARK(BM_SpawnSmall_Library)->Unit(benchmark::kMicrosecond)->MinTime(0.5)->Repetitions(5)->UseRealTime();
BENCHMARK(BM_Capture1GiB_BareDiscarding)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(9);
BENCHMARK(BM_Capture1GiB_BareKeeping)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(9);
BENCHMARK(BM_Capture1GiB_Library)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(9);
BENCHMARK(BM_ReadByte_Baseline)->MinTime(0.5)->Repetitions(9);
BENCHMARK(BM_ReadByte_Seam)->MinTime(0.5)->Repetitions(9);


}  // namespace

int main(int argc, char** argv) {
  velmora::bench::GoalReporter reporter;
  velmora::bench::GoalReporter::initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const double spawn = reporter.ratio("BM_SpawnSmall_Library", "BM_SpawnSmall_Baseline");
  reporter.atMost("spawn of a 100-byte tool, library time / bare time", spawn, 1.10, spawn > 0);
  // Throughput ratios: the inverse of the time ratios.
  for (const char* name : {"BM_Capture1GiB_Library", "BM_Capture1GiB_BareKeeping", "BM_Capture1GiB_BareDiscarding"}) {
    if (reporter.time(name) > 0) std::printf("%s, ms: %s\n", name, reporter.spread(name).c_str());
  }
  const double keeping = reporter.ratio("BM_Capture1GiB_Library", "BM_Capture1GiB_BareKeeping");
  reporter.atLeast("1 GiB capture, library throughput / bare throughput keeping the bytes", keeping > 0 ? 1 / keeping : 0,
                   0.90, keeping > 0);
  if (const double r = reporter.ratio("BM_Capture1GiB_Library", "BM_Capture1GiB_BareDiscarding"); r > 0) {
    std::printf("1 GiB capture, library throughput / bare throughput discarding the bytes: %.3f (no goal)\n", 1 / r);
  }
  const double seam = reporter.ratio("BM_ReadByte_Seam", "BM_ReadByte_Baseline");
  reporter.atMost("one-byte read, through the system call seam / ::read", seam, 1.10, seam > 0);
  benchmark::Shutdown();
  return reporter.exitStatus();
}
