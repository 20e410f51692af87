// Streaming through the front end: `velmora-fsutil run` passing 512 MiB from
// the tool simulator to a pipe, against the simulator writing to that pipe
// itself and through `cat` (the baseline: one more process in the way), in
// the same rounds.
//
// Prints, over VELMORA_BENCH_ROUNDS rounds (default 5), the median time with
// min-max of each, and the front end's peak resident memory (goal: at most
// 64 MiB, however large the output). Exits 1 when the goal is missed or a
// byte is lost.
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <spawn.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

extern char** environ;

namespace {

constexpr long kMebibytes = 512;
constexpr double kGoalMiB = 64;

struct Round {
  double seconds = 0;
  double peakMiB = 0;  // of the process read from
  long long bytes = 0;
};

// Starts `argv` with its standard output on a pipe, reads it to the end and
// reaps it with its resource usage.
Round readAll(std::vector<std::string> words) {
  int fds[2];
  if (::pipe(fds) != 0) std::abort();
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, fds[0]);
  std::vector<char*> argv;
  for (auto& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  const auto start = std::chrono::steady_clock::now();
  pid_t pid = 0;
  if (::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) std::abort();
  posix_spawn_file_actions_destroy(&actions);
  ::close(fds[1]);
  Round round;
  std::vector<char> buffer(1 << 16);
  for (ssize_t n; (n = ::read(fds[0], buffer.data(), buffer.size())) != 0;) {
    if (n > 0) round.bytes += n;
  }
  ::close(fds[0]);
  int status = 0;
  rusage usage{};
  ::wait4(pid, &status, 0, &usage);
  round.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  round.peakMiB = static_cast<double>(usage.ru_maxrss) / 1024.0;  // KiB on Linux
  return round;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

void report(const char* name, const std::vector<Round>& rounds) {
  std::vector<double> seconds, peaks;
  for (const auto& r : rounds) seconds.push_back(r.seconds), peaks.push_back(r.peakMiB);
  std::printf("  %-34s median %6.3f s (min %.3f, max %.3f)  %7.1f MiB/s  peak RSS median %6.1f MiB (max %.1f)\n", name,
              median(seconds), *std::min_element(seconds.begin(), seconds.end()),
              *std::max_element(seconds.begin(), seconds.end()), kMebibytes / median(seconds), median(peaks),
              *std::max_element(peaks.begin(), peaks.end()));
}

}  // namespace

int main() {
  const char* roundsSetting = std::getenv("VELMORA_BENCH_ROUNDS");
  const int rounds = roundsSetting ? std::max(1, std::atoi(roundsSetting)) : 5;
  const std::string mib = std::to_string(kMebibytes);
  std::vector<Round> bare, cat, frontEnd;
  for (int i = 0; i < rounds; ++i) {
    bare.push_back(readAll({VELMORA_SIM_PATH, "print-mib", mib}));
    cat.push_back(readAll({"/bin/sh", "-c", "\"$0\" print-mib " + mib + " | cat", VELMORA_SIM_PATH}));
    frontEnd.push_back(readAll({VELMORA_CLI_PATH, "run", VELMORA_SIM_PATH, "print-mib", mib}));
    for (const auto* round : {&bare.back(), &cat.back(), &frontEnd.back()}) {
      if (round->bytes != kMebibytes << 20) {
        std::fprintf(stderr, "lost bytes: %lld of %ld MiB\n", round->bytes, kMebibytes);
        return 1;
      }
    }
  }
  std::printf("%ld MiB to a pipe, %d rounds:\n", kMebibytes, rounds);
  report("bare (the simulator itself)", bare);
  report("through cat (baseline)", cat);
  report("velmora-fsutil run", frontEnd);
  std::vector<double> peaks, catSeconds, frontSeconds;
  for (int i = 0; i < rounds; ++i) {
    peaks.push_back(frontEnd[i].peakMiB);
    catSeconds.push_back(cat[i].seconds);
    frontSeconds.push_back(frontEnd[i].seconds);
  }
  const double peak = *std::max_element(peaks.begin(), peaks.end());
  std::printf("front end time / through cat: %.3f; front end peak RSS %.1f MiB (goal <= %.0f MiB): %s\n",
              median(frontSeconds) / median(catSeconds), peak, kGoalMiB, peak <= kGoalMiB ? "met" : "MISSED");
  return peak <= kGoalMiB ? 0 : 1;
}
