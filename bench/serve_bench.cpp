// The exporter's cost, against its goals: the latency of a scrape of
// `velmora-fsutil serve` with 4 instances streaming, median and 99th
// percentile with 50 concurrent scrapers (goal: p99 <= 5 ms), and its CPU
// while nobody scrapes, with the 4 streams at the simulator's default rate of
// 20 samples a second (goal: <= 1% of one core).
//
// Two loads of 50 scrapers: paced, each scraping every 250 ms from its own
// starting moment (200 scrapes a second, far more than 50 Prometheus servers
// at their usual interval), and bursts, all 50 asking at the same instant,
// the worst case, where the last answer waits for the 49 before it.
//
// Idle connections: one scrape at a time while 0, 300 and 1,000 connections
// are open and say nothing (half of them have sent part of a request line),
// median of 20 scrapes a level (goal: 1,000 idle connections, scrape median
// <= 1 s) and the exporter's resident memory then; the given build at 300
// idle connections too, one scrape cut off after 25 s. Stopping: SIGTERM to
// an exporter with 200 instances streaming until it has exited (goal: <= 5 s).
//
// Baselines in the same run: the short page at "/" under the same 50 scrapers
// (the HTTP server alone, no serialization), and the exporter's CPU with no
// instance at all; and, when its path is given as the argument, another
// build of the exporter (an earlier one, say) under the same bursts, its
// runs interleaved with this one's. Each figure is the median of 5 runs, with their spread;
// the machine's load average is printed before and after, since other work
// on it moves the figures. Linux only (process CPU times from /proc). Each
// goal is printed "met" or "MISSED"; exits 1 when one is missed, 2 when an
// exporter does not start (and stops the ones it started).
#include <algorithm>
#include <barrier>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <csignal>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kRuns = 5;
constexpr int kScrapers = 50;
constexpr int kBursts = 40;  // per run: 2000 scrapes
constexpr double kGoalP99Ms = 5.0;
constexpr double kGoalCpuPercent = 1.0;
constexpr int kCpuWindowSeconds = 6;

// An exporter over the simulator with `instances` instances.
struct Exporter {
  pid_t pid = 0;
  int port = 0;
  fs::path home;

  explicit Exporter(int instances, std::string cli = VELMORA_CLI_PATH, const std::string& name = "") {
    home = fs::temp_directory_path() /
           ("velmora-serve-bench-" + std::to_string(::getpid()) + "-" + std::to_string(instances) + name);
    fs::create_directories(home / "lucid.d");
    fs::copy_file(VELMORA_SIM_PATH, home / "lucid", fs::copy_options::overwrite_existing);
    std::ofstream list(home / "lucid.d/instances");
    for (int i = 0; i < instances; ++i) list << 2001 + i << "\tfs" << i << "\t" << 7778 + i << "\tlive\t/mnt/fs" << i << "\n";
    list.close();
    const std::string tool = (home / "lucid").string(), log = (home / "serve.log").string();
    std::vector<std::string> args = {cli, "serve", "--tool", tool, "--listen", "127.0.0.1:0", "--smart-interval", "0"};
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
      pid = 0;  // unspecified after a failed spawn
      stop();
      throw std::runtime_error("cannot start " + cli + ": " + std::strerror(spawned));
    }
    for (int i = 0; i < 200 && port == 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      int status = 0;
      if (::waitpid(pid, &status, WNOHANG) == pid) {
        pid = 0;  // reaped: nothing left to stop
        break;
      }
      std::ifstream in(log);
      std::string text((std::istreambuf_iterator<char>(in)), {});
      const auto at = text.find("127.0.0.1:");
      if (at != std::string::npos) port = std::atoi(text.c_str() + at + 10);
    }
    if (port == 0) {
      std::ifstream in(log);
      const std::string said((std::istreambuf_iterator<char>(in)), {});
      // Thrown from the constructor, so the destructor will not stop it.
      stop();
      throw std::runtime_error(cli + " serve never said where it listens; it said: " + said.substr(0, 2000));
    }
  }
  Exporter(const Exporter&) = delete;
  Exporter& operator=(const Exporter&) = delete;
  ~Exporter() { stop(); }

  void stop() {
    if (pid > 0) {
      ::kill(pid, SIGTERM);
      int status = 0;
      ::waitpid(pid, &status, 0);
      pid = 0;
    }
    std::error_code ignored;
    fs::remove_all(home, ignored);
  }

  // Resident memory in MiB.
  double rssMiB() const {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);) {
      if (line.rfind("VmRSS:", 0) == 0) return std::stod(line.substr(6)) / 1024;
    }
    return 0;
  }

  // SIGTERM until it has exited.
  double stopSeconds() {
    const auto begin = Clock::now();
    stop();
    return std::chrono::duration<double>(Clock::now() - begin).count();
  }

  // User and system CPU seconds so far.
  double cpuSeconds() const {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), {});
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    double ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
      if (i >= 14) ticks += std::stod(field);
    }
    return ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
  }
};

int connected(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return fd;
  ::close(fd);
  return -1;
}

// One GET; the whole answer, or "" when the connection failed (or took
// longer than `limit` seconds to answer, when given).
std::string get(int port, const char* path, int limit = 0) {
  const int fd = connected(port);
  std::string answer;
  if (fd >= 0) {
    const timeval timeout{limit, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    const std::string request = std::string("GET ") + path + " HTTP/1.1\r\nHost: bench\r\nConnection: close\r\n\r\n";
    if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
      char buffer[65536];
      for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;) answer.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
  }
  return answer;
}

// Opens `count` connections that say nothing more than half a request line
// (every other one) or nothing at all, for as long as it lives.
struct IdleClients {
  std::vector<int> fds;
  IdleClients(int port, int count) {
    for (int i = 0; i < count; ++i) {
      const int fd = connected(port);
      if (fd < 0) throw std::runtime_error("cannot open idle connection " + std::to_string(i));
      if (i % 2 == 1) ::send(fd, "GET /metr", 9, MSG_NOSIGNAL);
      fds.push_back(fd);
    }
  }
  ~IdleClients() {
    for (const int fd : fds) ::close(fd);
  }
};

// Milliseconds of sequential scrapes beside `idle` idle connections; a
// failed one counts as `limit` seconds.
std::vector<double> idleScrapes(const Exporter& exporter, int idle, int scrapes, int limit, double* rss = nullptr) {
  IdleClients clients(exporter.port, idle);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  std::vector<double> times;
  for (int i = 0; i < scrapes; ++i) {
    const auto begin = Clock::now();
    const bool answered = get(exporter.port, "/metrics", limit).rfind("HTTP/1.1 200", 0) == 0;
    times.push_back(answered ? std::chrono::duration<double, std::milli>(Clock::now() - begin).count() : limit * 1000.0);
  }
  if (rss) *rss = exporter.rssMiB();
  return times;
}

double percentile(std::vector<double> values, double p) {
  std::sort(values.begin(), values.end());
  return values[std::min(values.size() - 1, static_cast<std::size_t>(p * static_cast<double>(values.size())))];
}

struct Latency {
  double median, p99;
  int failed;
};

// kBursts times, kScrapers threads ask at the same moment; or, paced, each
// thread asks kBursts times, every 250 ms from its own start within the first.
Latency scrape(int port, const char* path, const char* mustHold, bool paced) {
  std::vector<std::vector<double>> times(kScrapers);
  std::vector<int> failed(kScrapers, 0);
  std::barrier start(kScrapers);
  std::vector<std::thread> threads;
  for (int t = 0; t < kScrapers; ++t) {
    threads.emplace_back([&, t] {
      const auto period = std::chrono::milliseconds(250);
      const auto first = Clock::now() + period * t / kScrapers;
      for (int burst = 0; burst < kBursts; ++burst) {
        if (paced) {
          std::this_thread::sleep_until(first + period * burst);
        } else {
          start.arrive_and_wait();
        }
        const auto begin = Clock::now();
        const std::string answer = get(port, path);
        times[t].push_back(std::chrono::duration<double, std::milli>(Clock::now() - begin).count());
        if (answer.rfind("HTTP/1.1 200", 0) != 0 || answer.find(mustHold) == std::string::npos) ++failed[t];
      }
    });
  }
  for (auto& thread : threads) thread.join();
  std::vector<double> all;
  int failures = 0;
  for (int t = 0; t < kScrapers; ++t) {
    all.insert(all.end(), times[t].begin(), times[t].end());
    failures += failed[t];
  }
  return {percentile(all, 0.5), percentile(all, 0.99), failures};
}

double cpuPercent(const Exporter& exporter) {
  const double before = exporter.cpuSeconds();
  std::this_thread::sleep_for(std::chrono::seconds(kCpuWindowSeconds));
  return (exporter.cpuSeconds() - before) / kCpuWindowSeconds * 100;
}

struct Figure {
  double median, low, high;
};
Figure summary(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return {values[values.size() / 2], values.front(), values.back()};
}

void print(const char* what, const Figure& f, const char* unit) {
  std::printf("%-58s %8.3f %s  (spread %.3f to %.3f)\n", what, f.median, unit, f.low, f.high);
}

// The goal's line; true when it is met.
bool goal(const char* what, double figure, double most, const char* unit) {
  const bool met = figure <= most;
  std::printf("goal: %-52s %8.3f %s <= %.1f %s: %s\n", what, figure, unit, most, unit, met ? "met" : "MISSED");
  return met;
}

std::string loadAverage() {
  std::ifstream in("/proc/loadavg");
  std::string one, five, fifteen;
  in >> one >> five >> fifteen;
  return one + " " + five + " " + fifteen;
}

}  // namespace

// Until every instance streams.
void waitForStreams(const Exporter& exporter, int instances = 4) {
  const std::string last = "instance_id=\"" + std::to_string(2000 + instances) + "\",layer=\"objectstore\"";
  for (int i = 0; i < 300 && get(exporter.port, "/metrics").find(last) == std::string::npos; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

int measure(int argc, char** argv) {
  std::vector<double> scrapeMedian, scrapeP99, pageMedian, pageP99, pacedMedian, pacedP99, pacedPageP99, cpuStreaming, cpuEmpty;
  std::vector<double> otherPacedMedian, otherPacedP99, otherMedian, otherP99, otherIdle, stopping, otherStopping;
  constexpr int kIdle[] = {0, 300, 1000};
  std::vector<double> idleMedian[3], idleRss[3];
  int failures = 0;
  const char* kLastFamily = "velmora_filespace_put_time_seconds";
  rlimit files{};  // a thousand idle connections are a thousand descriptors
  if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
    files.rlim_cur = files.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &files);
  }
  const std::string loadBefore = loadAverage();
  {
    Exporter exporter(4);
    std::optional<Exporter> other;
    if (argc > 1) other.emplace(4, argv[1], "-other");
    waitForStreams(exporter);
    if (other) waitForStreams(*other);
    for (int run = 0; run < kRuns; ++run) {
      if (other) {
        const Latency paced = scrape(other->port, "/metrics", kLastFamily, true);
        const Latency burst = scrape(other->port, "/metrics", kLastFamily, false);
        otherPacedMedian.push_back(paced.median);
        otherPacedP99.push_back(paced.p99);
        otherMedian.push_back(burst.median);
        otherP99.push_back(burst.p99);
      }
      const Latency pacedPage = scrape(exporter.port, "/", "velmora-fsutil exporter", true);
      const Latency paced = scrape(exporter.port, "/metrics", kLastFamily, true);
      const Latency page = scrape(exporter.port, "/", "velmora-fsutil exporter", false);
      const Latency burst = scrape(exporter.port, "/metrics", kLastFamily, false);
      pacedMedian.push_back(paced.median);
      pacedP99.push_back(paced.p99);
      pacedPageP99.push_back(pacedPage.p99);
      pageMedian.push_back(page.median);
      pageP99.push_back(page.p99);
      scrapeMedian.push_back(burst.median);
      scrapeP99.push_back(burst.p99);
      failures += pacedPage.failed + paced.failed + page.failed + burst.failed;
      for (int level = 0; level < 3; ++level) {
        double rss = 0;
        idleMedian[level].push_back(summary(idleScrapes(exporter, kIdle[level], 20, 5, &rss)).median);
        idleRss[level].push_back(rss);
      }
      if (other) otherIdle.push_back(idleScrapes(*other, 300, 1, 25).front());
      std::this_thread::sleep_for(std::chrono::seconds(1));  // the idle clients' connections gone
    }
    other.reset();  // the idle figure is this exporter's alone
    for (int run = 0; run < kRuns; ++run) cpuStreaming.push_back(cpuPercent(exporter));
  }
  {
    Exporter exporter(0);
    std::this_thread::sleep_for(std::chrono::seconds(2));
    for (int run = 0; run < kRuns; ++run) cpuEmpty.push_back(cpuPercent(exporter));
  }
  for (int run = 0; run < 3; ++run) {
    for (const bool given : {true, false}) {
      if (given && argc < 2) continue;
      Exporter exporter(200, given ? argv[1] : VELMORA_CLI_PATH, given ? "-other" : "");
      waitForStreams(exporter, 200);
      (given ? otherStopping : stopping).push_back(exporter.stopSeconds());
    }
  }

  std::printf("serve: %d runs; %d scrapers x %d scrapes a run and load; CPU over %d s windows\n", kRuns, kScrapers,
              kBursts, kCpuWindowSeconds);
  std::printf("load average (1, 5, 15 min) before: %s, after: %s, on %ld cores\n", loadBefore.c_str(),
              loadAverage().c_str(), ::sysconf(_SC_NPROCESSORS_ONLN));
  print("paced: scrape of /metrics, 4 instances streaming: median", summary(pacedMedian), "ms");
  print("paced: scrape of /metrics, 4 instances streaming: p99", summary(pacedP99), "ms");
  print("paced: baseline, the page at /: p99", summary(pacedPageP99), "ms");
  print("bursts: scrape of /metrics, 4 instances streaming: median", summary(scrapeMedian), "ms");
  print("bursts: scrape of /metrics, 4 instances streaming: p99", summary(scrapeP99), "ms");
  print("bursts: baseline, the page at /: median", summary(pageMedian), "ms");
  print("bursts: baseline, the page at /: p99", summary(pageP99), "ms");
  if (!otherP99.empty()) {
    std::printf("the exporter given, %s, under the same loads:\n", argv[1]);
    print("  paced: scrape of /metrics: p99", summary(otherPacedP99), "ms");
    print("  bursts: scrape of /metrics: median", summary(otherMedian), "ms");
    print("  bursts: scrape of /metrics: p99", summary(otherP99), "ms");
  }
  for (int level = 0; level < 3; ++level) {
    const std::string idle = std::to_string(kIdle[level]) + " idle connections: ";
    print((idle + "scrape of /metrics, median of 20").c_str(), summary(idleMedian[level]), "ms");
    print((idle + "the exporter's resident memory").c_str(), summary(idleRss[level]), "MiB");
  }
  print("SIGTERM to exit, 200 instances streaming", summary(stopping), "s");
  if (!otherIdle.empty()) {
    std::printf("the exporter given, %s:\n", argv[1]);
    print("  paced: scrape of /metrics: median", summary(otherPacedMedian), "ms");
    print("  300 idle connections: one scrape (25000: none within 25 s)", summary(otherIdle), "ms");
    print("  SIGTERM to exit, 200 instances streaming", summary(otherStopping), "s");
  }
  print("CPU, 4 instances streaming at 20 samples/s, no scrapes", summary(cpuStreaming), "% of a core");
  print("baseline, CPU with no instance", summary(cpuEmpty), "% of a core");
  bool met = goal("every scrape answered in full (failed scrapes)", failures, 0, "");
  met = goal("paced: scrape p99", summary(pacedP99).median, kGoalP99Ms, "ms") && met;
  met = goal("bursts: scrape p99", summary(scrapeP99).median, kGoalP99Ms, "ms") && met;
  met = goal("idle CPU, 4 instances streaming", summary(cpuStreaming).median, kGoalCpuPercent, "% of a core") && met;
  met = goal("1,000 idle connections: scrape median", summary(idleMedian[2]).median, 1000.0, "ms") && met;
  met = goal("SIGTERM to exit, 200 instances", summary(stopping).median, 5.0, "s") && met;
  return met ? 0 : 1;
}

int main(int argc, char** argv) {
  if (argc > 2 || (argc == 2 && argv[1][0] == '-')) {
    std::fprintf(stderr, "usage: %s [ANOTHER_VELMORA_FSUTIL]\n", argv[0]);
    return argc == 2 && (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0) ? 0 : 2;
  }
  try {
    return measure(argc, argv);
  } catch (const std::exception& error) {
    // Caught, so that the exporters already started are stopped on the way out.
    std::fprintf(stderr, "%s\n", error.what());
    return 2;
  }
}
