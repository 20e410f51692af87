// Performance-run benchmarks:
//   - the stream parser over a three-layer table (goal: at least 4 million
//     sample lines per second);
//   - allocations per line of that table, fed in blocks through the line
//     buffering and the parser to a receiver (goal: none per line, at most
//     0.001: only the stream's buffers, the layout and the reused update
//     grow, a few times a stream);
//   - a run end to end (the simulator writing as fast as it can, pipe, line
//     buffering, parser, a counting receiver) against a bare loop that reads
//     the same stream through a pipe and only splits it at line feeds
//     (goal: at least 0.9 of the bare loop's rate; medians of 7 repetitions,
//     interleaved).
// Each goal is printed with its verdict; a missed one makes the exit status 1.
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <new>

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "bench_support.hpp"
#include "lucidlink/perf_stream_parser.hpp"
#include "velmora/lucidlink/lucid_link_cli_utility.hpp"

extern char** environ;

// Counts heap allocations, for the allocations-per-line figure. GCC cannot
// see that these replacements pair malloc with free.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
static std::atomic<long> gAllocations{0};
void* operator new(std::size_t size) {
  ++gAllocations;
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

const std::string kSimulator = VELMORA_SIM_PATH;
constexpr long kSamples = 200000;

class Counter : public velmora::LucidLinkPerformanceUpdateReciever {
 public:
  void didReceivePerfUpdate(const velmora::LucidPerfUpdate&) override {
    if (count.fetch_add(1) + 1 == target) {
      std::lock_guard lock(mutex);
      done.notify_all();
    }
  }
  void waitFor(long updates) {
    std::unique_lock lock(mutex);
    done.wait(lock, [&] { return count.load() >= updates; });
  }
  std::atomic<long> count{0};
  long target = 0;
  std::mutex mutex;
  std::condition_variable done;
};

std::string threeLayerTable(long samples) {
  std::string text = "-- time ----------------- -- fs -------------------------- -- cache ---------------------- "
                     "-- objectstore ----------------\n"
                     "currentDateAndTimeUTC     readBytes     writeBytes  reads  %hits  dirtyBytes  %       "
                     "getBytes      putBytes        \n";
  for (long i = 0; i < samples; ++i) {
    text += "2026-12-06T10:00:00.000Z  12.5MiB/s     3KiB/s      " + std::to_string(i % 1000) +
            "     87%    1024        55%     1.5MiB/s      0B/s            \n";
  }
  return text;
}

void BM_PerfParserThreeLayers(benchmark::State& state) {
  const std::string table = threeLayerTable(100000);
  for (auto _ : state) {
    Counter counter;
    velmora::detail::PerfLineStream stream;
    stream.feed(table, counter);
    benchmark::DoNotOptimize(counter.count.load());
  }
  state.counters["sample_lines_per_second"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * 100000, benchmark::Counter::kIsRate);
}

void BM_StreamAllocationsPerLine(benchmark::State& state) {
  const std::string text = threeLayerTable(100000);
  long lines = 0;
  long allocations = 0;
  for (auto _ : state) {
    Counter counter;
    velmora::detail::PerfLineStream stream;
    const long before = gAllocations.load();
    for (std::size_t at = 0; at < text.size(); at += 4093) stream.feed(std::string_view(text).substr(at, 4093), counter);
    allocations += gAllocations.load() - before;
    lines += 100000;
  }
  state.counters["allocations_per_line"] = static_cast<double>(allocations) / static_cast<double>(lines);
}

struct SimulatorHome {
  SimulatorHome() {
    home = std::filesystem::temp_directory_path() / ("velmora-perf-bench-" + std::to_string(::getpid()));
    std::filesystem::create_directories(home / "lucid.d");
    std::filesystem::remove(home / "lucid");
    std::filesystem::create_symlink(kSimulator, home / "lucid");
    std::ofstream(home / "lucid.d" / "options") << "perf-rate=0 perf-count=" << kSamples << "\n";
  }
  ~SimulatorHome() { std::filesystem::remove_all(home); }
  std::string tool() const { return (home / "lucid").string(); }
  std::filesystem::path home;
};

const velmora::LucidPerfQuery kQuery({{velmora::LucidDataLayer::fileSystem, {}},
                                      {velmora::LucidDataLayer::cache, {}},
                                      {velmora::LucidDataLayer::objectStore, {}}});

void BM_PerfRun_Baseline(benchmark::State& state) {
  SimulatorHome sim;
  const std::string tool = sim.tool();
  std::vector<std::string> words{tool};
  for (const auto& word : kQuery.arguments()) words.push_back(word);
  std::vector<char*> argv;
  for (auto& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  std::vector<char> buffer(64 * 1024);
  for (auto _ : state) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) std::abort();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    pid_t pid;
    if (::posix_spawn(&pid, tool.c_str(), &actions, nullptr, argv.data(), environ) != 0) std::abort();
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    long lines = 0;
    for (;;) {
      const ssize_t n = ::read(fds[0], buffer.data(), buffer.size());
      if (n <= 0) break;
      for (const char* p = buffer.data(); (p = static_cast<const char*>(std::memchr(p, '\n', buffer.data() + n - p)));
           ++p)
        ++lines;
    }
    ::close(fds[0]);
    int status;
    ::waitpid(pid, &status, 0);
    benchmark::DoNotOptimize(lines);
  }
  state.counters["sample_lines_per_second"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * kSamples, benchmark::Counter::kIsRate);
}

void BM_PerfRun_Library(benchmark::State& state) {
  SimulatorHome sim;
  auto client = std::make_shared<velmora::LucidLinkCLIUtility>(sim.tool());
  for (auto _ : state) {
    auto counter = std::make_shared<Counter>();
    counter->target = kSamples * 3;
    const auto pid = client->runPerf(kQuery, counter);
    counter->waitFor(counter->target);
    client->cancelProcessWithId(pid);
  }
  state.counters["sample_lines_per_second"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * kSamples, benchmark::Counter::kIsRate);
}

BENCHMARK(BM_PerfParserThreeLayers)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StreamAllocationsPerLine)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PerfRun_Baseline)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(7)->UseRealTime();
BENCHMARK(BM_PerfRun_Library)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(7)->UseRealTime();


}  // namespace

int main(int argc, char** argv) {
  velmora::bench::GoalReporter reporter;
  velmora::bench::GoalReporter::initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const std::string parser = "BM_PerfParserThreeLayers";
  reporter.atLeast("stream parser, sample lines per second", reporter.counter(parser, "sample_lines_per_second"), 4e6,
                   reporter.time(parser) > 0);
  const std::string buffering = "BM_StreamAllocationsPerLine";
  // None per line: a stream's own buffers grow a few times, and that is all.
  reporter.atMost("line buffering and parser, allocations per line", reporter.counter(buffering, "allocations_per_line"), 0.001,
                  reporter.time(buffering) > 0);
  const double run = reporter.ratio("BM_PerfRun_Baseline", "BM_PerfRun_Library");
  reporter.atLeast("perf run end to end, library rate / bare rate", run, 0.90, run > 0);
  benchmark::Shutdown();
  return reporter.exitStatus();
}
