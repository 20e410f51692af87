// LucidLink benchmarks:
//   - parsing a 10,000-row "list" table and a 10,000-line status text
//     (goal: at least 50 MB/s each);
//   - a manager recalculation over 50 unchanged instances, counting the
//     tool processes it starts (goal: at most one, the "list").
// Each goal is printed with its verdict; a missed one makes the exit status 1.
#include <filesystem>
#include <fstream>
#include <string>

#include <benchmark/benchmark.h>
#include <unistd.h>

#include "bench_support.hpp"
#include "lucidlink/parsers.hpp"
#include "velmora/diagnostics.hpp"
#include "velmora/lucidlink/lucid_link_cli_manager.hpp"

namespace {

const std::string kSimulator = VELMORA_SIM_PATH;

std::string listTable(int rows) {
  std::string text = "INSTANCE ID    FILESPACE                PORT    MODE\n";
  for (int i = 0; i < rows; ++i) {
    text += std::to_string(2000 + i) + "           filespace-" + std::to_string(i) + ".example   " +
            std::to_string(7000 + i % 1000) + "    live\n";
  }
  return text;
}

std::string statusText(int lines) {
  std::string text;
  for (int i = 0; i < lines; ++i) {
    text += "Fact number " + std::to_string(i) + ": value " + std::to_string(i * 7) + " at 12:34:56\n";
  }
  return text;
}

void BM_ParseListTable10k(benchmark::State& state) {
  const std::string text = listTable(10000);
  for (auto _ : state) benchmark::DoNotOptimize(velmora::detail::parseFilespaceTable(text));
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
}

void BM_ParseStatus10k(benchmark::State& state) {
  const std::string text = statusText(10000);
  for (auto _ : state) benchmark::DoNotOptimize(velmora::detail::parseKeyValueOutput(text));
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
}

int countLines(const std::filesystem::path& file, const std::string& word) {
  std::ifstream in(file);
  int count = 0;
  for (std::string line; std::getline(in, line);) count += line.find("\"" + word + "\"") != std::string::npos;
  return count;
}

void BM_RecalculateUnchanged50(benchmark::State& state) {
  const auto home = std::filesystem::temp_directory_path() / ("velmora-bench-" + std::to_string(::getpid()));
  std::filesystem::create_directories(home / "lucid.d");
  std::filesystem::remove(home / "lucid");
  std::filesystem::create_symlink(kSimulator, home / "lucid");
  {
    std::ofstream instances(home / "lucid.d" / "instances");
    for (int i = 0; i < 50; ++i) {
      instances << 3000 + i << "\tfs" << i << "\t" << 7000 + i << "\tlive\t/Volumes/I" << i << "\n";
    }
  }
  auto manager = velmora::LucidLinkCLIManager::create(3600, (home / "lucid").string());
  manager->clis();  // the start-up recalculations
  while (countLines(home / "lucid.d" / "calls.log", "list") < 2) manager->clis();
  manager->clis();
  const int listsBefore = countLines(home / "lucid.d" / "calls.log", "list");
  const int statusBefore = countLines(home / "lucid.d" / "calls.log", "status");

  for (auto _ : state) {
    manager->refresh();
    const int target = listsBefore + static_cast<int>(state.iterations());
    while (countLines(home / "lucid.d" / "calls.log", "list") < target) benchmark::DoNotOptimize(manager->clis());
    benchmark::DoNotOptimize(manager->clis());
  }
  const int lists = countLines(home / "lucid.d" / "calls.log", "list") - listsBefore;
  const int statuses = countLines(home / "lucid.d" / "calls.log", "status") - statusBefore;
  state.counters["tool_processes_per_recalculation"] =
      static_cast<double>(lists + statuses) / static_cast<double>(state.iterations());
  manager.reset();
  std::filesystem::remove_all(home);
}

BENCHMARK(BM_ParseListTable10k)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ParseStatus10k)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RecalculateUnchanged50)->Unit(benchmark::kMillisecond)->Iterations(20);

const bool kQuiet = [] {
  velmora::setWarningSink([](std::string_view) {});
  return true;
}();

}  // namespace

int main(int argc, char** argv) {
  velmora::bench::GoalReporter reporter;
  velmora::bench::GoalReporter::initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  for (const char* parse : {"BM_ParseListTable10k", "BM_ParseStatus10k"}) {
    reporter.atLeast((std::string(parse) + ", MB/s").c_str(), reporter.counter(parse, "bytes_per_second") / 1e6, 50,
                     reporter.time(parse) > 0);
  }
  const std::string recalculation = "BM_RecalculateUnchanged50";
  reporter.atMost("recalculation over 50 unchanged instances, tool processes",
                  reporter.counter(recalculation, "tool_processes_per_recalculation"), 1, reporter.time(recalculation) > 0);
  benchmark::Shutdown();
  return reporter.exitStatus();
}
