// Folder-archive benchmarks:
//   - a mixed corpus (thousands of small text files, a few large text files
//     and a few incompressible ones, a few hundred MB) zipped by zipFolder and
//     by Info-ZIP's `zip -r -q -6` in the same run (goals: time at most 1.20
//     of zip's, archive size within 1%);
//   - the resident memory of the front end zipping a 2 GiB file (goal: under
//     64 MiB), measured on a child process.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>

#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "bench_support.hpp"
#include "velmora/archive/zip_folder.hpp"

extern char** environ;

namespace {

namespace fs = std::filesystem;

const fs::path kWork = fs::temp_directory_path() / ("velmora-archive-bench-" + std::to_string(::getpid()));

std::string words(std::mt19937& random, std::size_t bytes) {
  static const char* vocabulary[] = {"filespace", "cache", "upload", "the", "of", "metadata", "block", "LucidLink",
                                     "2026-12-06", "error", "info", "debug", "mount", "volume", "12.5MiB/s", "\n"};
  std::string text;
  text.reserve(bytes + 16);
  while (text.size() < bytes) {
    text += vocabulary[random() % 16];
    text += ' ';
  }
  return text;
}

const fs::path& corpus() {
  static const fs::path folder = [] {
    const fs::path root = kWork / "corpus";
    fs::create_directories(root);
    std::mt19937 random(7);
    for (int i = 0; i < 3000; ++i) {
      const fs::path file = root / ("dir" + std::to_string(i % 30)) / ("note-" + std::to_string(i) + ".txt");
      fs::create_directories(file.parent_path());
      std::ofstream(file) << words(random, 1000 + random() % 8000);
    }
    for (int i = 0; i < 3; ++i) std::ofstream(root / ("log-" + std::to_string(i) + ".txt")) << words(random, 60u << 20);
    for (int i = 0; i < 2; ++i) {
      std::ofstream out(root / ("media-" + std::to_string(i) + ".bin"), std::ios::binary);
      std::string block(1 << 20, '\0');
      for (int mb = 0; mb < 30; ++mb) {
        for (auto& byte : block) byte = static_cast<char>(random());
        out << block;
      }
    }
    return root;
  }();
  return folder;
}

std::map<std::string, double> gSizes;

int runAndWait(std::vector<std::string> words, const fs::path& directory) {
  std::vector<char*> argv;
  for (auto& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addchdir_np(&actions, directory.c_str());
  pid_t pid;
  if (::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) std::abort();
  posix_spawn_file_actions_destroy(&actions);
  int status = 0;
  ::waitpid(pid, &status, 0);
  return status;
}

void BM_ZipCorpus_InfoZip(benchmark::State& state) {
  const fs::path& folder = corpus();
  const fs::path archive = kWork / "infozip.zip";
  for (auto _ : state) {
    fs::remove(archive);
    if (runAndWait({"zip", "-r", "-q", "-6", archive.string(), "."}, folder) != 0) state.SkipWithError("zip failed");
  }
  gSizes["infozip"] = static_cast<double>(fs::file_size(archive));
}

void BM_ZipCorpus_Library(benchmark::State& state) {
  const fs::path& folder = corpus();
  const fs::path output = kWork / "library";
  std::optional<fs::path> made;
  for (auto _ : state) {
    fs::remove_all(output);
    velmora::zipFolder(folder, output, "Corpus", nullptr, [&](std::optional<fs::path> archive, std::exception_ptr error) {
      if (error) std::abort();
      made = std::move(archive);
    });
  }
  gSizes["library"] = static_cast<double>(fs::file_size(*made));
}

BENCHMARK(BM_ZipCorpus_InfoZip)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_ZipCorpus_Library)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();


// The front end zipping one 2 GiB file, its peak resident memory read from wait4.
void largeFileMemory(const std::string& frontEnd) {
  const fs::path folder = kWork / "large";
  fs::create_directories(folder);
  {
    std::ofstream out(folder / "video.raw", std::ios::binary);
    std::mt19937 random(3);
    std::string block(1 << 20, '\0');
    for (int mb = 0; mb < 2048; ++mb) {
      for (std::size_t i = 0; i < block.size(); i += 64) block[i] = static_cast<char>(random());
      out << block;
    }
  }
  // Measured by /usr/bin/time on a child it forks itself: a child spawned
  // from this process would inherit this process's peak in its figures.
  const fs::path report = kWork / "large.rss";
  runAndWait({"/usr/bin/time", "-f", "%M", "-o", report.string(), frontEnd, "zip", folder.string(),
              (kWork / "large-out").string(), "Large"},
             kWork);
  long maxKiB = 0;
  std::ifstream(report) >> maxKiB;
  std::printf("zipping a 2 GiB file: peak resident memory %.1f MiB (goal < 64 MiB)\n", maxKiB / 1024.0);
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  velmora::bench::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  if (const double r = reporter.ratio("BM_ZipCorpus_Library/iterations:3/real_time",
                                      "BM_ZipCorpus_InfoZip/iterations:3/real_time");
      r > 0) {
    std::printf("mixed corpus, zipFolder time / zip -6 time: %.3f (goal <= 1.20)\n", r);
    std::printf("mixed corpus, zipFolder size / zip -6 size: %.4f (goal within 1%%)\n",
                gSizes["library"] / gSizes["infozip"]);
  }
  largeFileMemory(VELMORA_CLI_PATH);
  benchmark::Shutdown();
  fs::remove_all(kWork);
  return 0;
}
