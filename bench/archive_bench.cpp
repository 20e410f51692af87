// Folder-archive benchmark, all in one run, rounds interleaved so that a
// change in the machine's load touches every contender alike:
//   - a folder of real files (copies of /usr/include and /usr/share/doc,
//     symbolic links removed): zipFolder with 2 threads and with 1 thread
//     against Info-ZIP's `zip -r -q -6` (goals: at most 0.35 and 1.0 of its
//     time; size within 1%), and 7-Zip's `7z a -tzip -mx=5 -mmt=2` where
//     installed;
//   - one 1 GiB file of mixed text from the same sources: zipFolder with 2
//     threads against zip (goal: at most 0.55);
//   - every archive tested by `unzip -t` and by Python's zipfile, its
//     contents compared byte for byte with the source; the 1-thread and
//     2-thread archives must be identical;
//   - the peak resident memory of the front end zipping a 2 GiB file with
//     2 threads and 32 reads in flight (goal: at most 128 MiB).
// Prints medians of VELMORA_BENCH_ROUNDS rounds (default 3) with min-max.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "velmora/archive/zip_folder.hpp"

extern char** environ;

namespace {

namespace fs = std::filesystem;

const fs::path kWork = fs::temp_directory_path() / ("velmora-archive-bench-" + std::to_string(::getpid()));
int gFailures = 0;

int runAndWait(std::vector<std::string> words, const fs::path& directory, bool quiet = true) {
  std::vector<char*> argv;
  for (auto& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addchdir_np(&actions, directory.c_str());
  if (quiet) posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  pid_t pid;
  if (::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
    std::fprintf(stderr, "cannot start %s\n", argv[0]);
    std::exit(1);
  }
  posix_spawn_file_actions_destroy(&actions);
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void check(bool condition, const std::string& what) {
  std::printf("  %s: %s\n", condition ? "ok" : "FAILED", what.c_str());
  if (!condition) ++gFailures;
}

bool hasCommand(const char* name) {
  return std::system(("command -v " + std::string(name) + " >/dev/null 2>&1").c_str()) == 0;
}

// The real-files folder: copies of what the machine has, links removed.
fs::path realFiles() {
  const fs::path root = kWork / "real";
  fs::create_directories(root);
  runAndWait({"cp", "-r", "/usr/include", (root / "include").string()}, kWork);
  runAndWait({"cp", "-r", "/usr/share/doc", (root / "doc").string()}, kWork);
  runAndWait({"find", root.string(), "-type", "l", "-delete"}, kWork);
  return root;
}

// 1 GiB of mixed text: the real files' text, again and again.
fs::path mixedText(const fs::path& real) {
  const fs::path folder = kWork / "mixed";
  fs::create_directories(folder);
  std::ofstream out(folder / "mixed.txt", std::ios::binary);
  std::uint64_t written = 0;
  const std::uint64_t goal = 1ull << 30;
  std::vector<fs::path> texts;
  for (const auto& entry : fs::recursive_directory_iterator(real)) {
    const auto ext = entry.path().extension();
    if (entry.is_regular_file() && ext != ".gz" && ext != ".xz" && ext != ".bz2" && ext != ".png" && ext != ".jpg")
      texts.push_back(entry.path());
  }
  std::sort(texts.begin(), texts.end());
  while (written < goal) {
    for (const auto& path : texts) {
      std::ifstream in(path, std::ios::binary);
      std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      const auto take = std::min<std::uint64_t>(data.size(), goal - written);
      out.write(data.data(), static_cast<std::streamsize>(take));
      written += take;
      if (written == goal) break;
    }
  }
  return folder;
}

double seconds(const std::function<void()>& body) {
  const auto start = std::chrono::steady_clock::now();
  body();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Another tool's archive of `folder`'s contents, made afresh as kWork/NAME
// by the command `words` followed by the archive's path and ".".
fs::path zipWithTool(std::vector<std::string> words, const std::string& name, const fs::path& folder) {
  const fs::path archive = kWork / name;
  fs::remove(archive);
  words.push_back(archive.string());
  words.push_back(".");
  if (runAndWait(std::move(words), folder) != 0) std::exit(1);
  return archive;
}

fs::path zipWithLibrary(const fs::path& folder, const fs::path& output, unsigned threads) {
  fs::remove_all(output);
  fs::path made;
  velmora::zipFolder(
      folder, output, "Bench", nullptr,
      [&](std::optional<fs::path> archive, std::exception_ptr error) {
        if (error) {
          try {
            std::rethrow_exception(error);
          } catch (const std::exception& e) {
            std::fprintf(stderr, "zipFolder failed: %s\n", e.what());
          }
          std::exit(1);
        }
        made = *archive;
      },
      {threads});
  return made;
}

struct Contender {
  Contender(std::string name, std::function<fs::path()> run) : name(std::move(name)), run(std::move(run)) {}
  std::string name;
  std::function<fs::path()> run;  // returns the archive
  std::vector<double> times;
  fs::path archive;
};

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

void runRounds(std::vector<Contender>& contenders, int rounds) {
  for (int round = 0; round < rounds; ++round) {
    for (auto& contender : contenders) {
      contender.times.push_back(seconds([&] { contender.archive = contender.run(); }));
    }
  }
  for (const auto& contender : contenders) {
    const auto [low, high] = std::minmax_element(contender.times.begin(), contender.times.end());
    std::printf("  %-28s median %7.2f s  (min %.2f, max %.2f)  archive %llu bytes\n", contender.name.c_str(),
                median(contender.times), *low, *high,
                static_cast<unsigned long long>(fs::file_size(contender.archive)));
  }
}

void printRatio(const Contender& contender, const Contender& baseline, double goal) {
  std::vector<double> perRound;
  for (std::size_t i = 0; i < contender.times.size(); ++i) perRound.push_back(contender.times[i] / baseline.times[i]);
  const auto [low, high] = std::minmax_element(perRound.begin(), perRound.end());
  const double ratio = median(contender.times) / median(baseline.times);
  std::printf("  %s / %s time: %.3f (per round %.3f-%.3f)%s\n", contender.name.c_str(), baseline.name.c_str(), ratio,
              *low, *high, goal > 0 ? (ratio <= goal ? "  goal met" : "  GOAL MISSED") : "");
  if (goal > 0) std::printf("    goal <= %.2f\n", goal);
  if (goal > 0 && ratio > goal) ++gFailures;
}

void verify(const fs::path& archive, const fs::path& folder) {
  check(runAndWait({"unzip", "-t", "-q", archive.string()}, kWork) == 0, "unzip -t " + archive.filename().string());
  const std::string command = "python3 " VELMORA_INSPECT_ZIP " '" + archive.string() + "' '" + folder.string() +
                              "' | python3 -c 'import json,sys; d=json.load(sys.stdin); "
                              "sys.exit(0 if d[\"bad\"] is None and not d[\"differ\"] and not d[\"missing\"] else 1)'";
  check(std::system(command.c_str()) == 0,
        "Python zipfile reads " + archive.filename().string() + ", contents equal to the source byte for byte");
}

bool sameBytes(const fs::path& a, const fs::path& b) {
  return runAndWait({"cmp", "-s", a.string(), b.string()}, kWork) == 0;
}

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
  runAndWait({"/usr/bin/time", "-f", "%M", "-o", report.string(), frontEnd, "zip", "--threads", "2", "--readers", "32", folder.string(),
              (kWork / "large-out").string(), "Large"},
             kWork);
  long maxKiB = 0;
  std::ifstream(report) >> maxKiB;
  std::printf("zipping a 2 GiB file with 2 threads and 32 readers: peak resident memory %.1f MiB\n", maxKiB / 1024.0);
  check(maxKiB / 1024.0 <= 128, "memory at most 128 MiB");
}

}  // namespace

int main() {
  const int rounds = std::max(3, std::atoi(std::getenv("VELMORA_BENCH_ROUNDS") ? std::getenv("VELMORA_BENCH_ROUNDS") : "3"));
  fs::create_directories(kWork);
  const fs::path real = realFiles();
  std::printf("real files: %s\n", real.c_str());

  std::vector<Contender> folder = {
      {"zip -r -q -6", [&] { return zipWithTool({"zip", "-r", "-q", "-6"}, "infozip.zip", real); }},
      {"zipFolder, 2 threads", [&] { return zipWithLibrary(real, kWork / "lib2", 2); }},
      {"zipFolder, 1 thread", [&] { return zipWithLibrary(real, kWork / "lib1", 1); }},
  };
  if (hasCommand("7z")) {
    folder.push_back({"7z a -tzip -mx=5 -mmt=2",
                      [&] { return zipWithTool({"7z", "a", "-tzip", "-mx=5", "-mmt=2"}, "7z.zip", real); }});
  } else {
    std::printf("7z is not installed: not timed\n");
  }
  std::printf("real-files folder, %d rounds:\n", rounds);
  runRounds(folder, rounds);
  printRatio(folder[1], folder[0], 0.35);
  printRatio(folder[2], folder[0], 1.0);
  if (folder.size() > 3) printRatio(folder[3], folder[0], 0);
  const double sizeRatio = static_cast<double>(fs::file_size(folder[1].archive)) /
                           static_cast<double>(fs::file_size(folder[0].archive));
  std::printf("  zipFolder size / zip size: %.4f\n", sizeRatio);
  check(sizeRatio >= 0.99 && sizeRatio <= 1.01, "archive size within 1% of zip's");
  check(sameBytes(folder[1].archive, folder[2].archive), "1-thread and 2-thread archives identical");
  for (std::size_t i = 1; i < folder.size(); ++i) verify(folder[i].archive, real);
  verify(folder[0].archive, real);

  const fs::path mixed = mixedText(real);
  std::vector<Contender> single = {
      {"zip -q -6 (1 GiB text)", [&] { return zipWithTool({"zip", "-r", "-q", "-6"}, "infozip-mixed.zip", mixed); }},
      {"zipFolder, 2 threads (1 GiB)", [&] { return zipWithLibrary(mixed, kWork / "mixed2", 2); }},
  };
  std::printf("1 GiB of mixed text, %d rounds:\n", rounds);
  runRounds(single, rounds);
  printRatio(single[1], single[0], 0.55);
  const fs::path oneThread = zipWithLibrary(mixed, kWork / "mixed1", 1);
  check(sameBytes(single[1].archive, oneThread), "1-thread and 2-thread archives of the 1 GiB file identical");
  verify(single[1].archive, mixed);
  fs::remove_all(mixed);

  largeFileMemory(VELMORA_CLI_PATH);
  fs::remove_all(kWork);
  std::printf("%d check(s) or goal(s) failed\n", gFailures);
  return gFailures == 0 ? 0 : 1;
}
