#include "support/test_support.hpp"

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

#include <nlohmann/json.hpp>

#include "platform/serial_queue.hpp"

namespace velmora::test {

namespace fs = std::filesystem;

ResourceCounts currentResources() {
  auto count = [](const char* folder) {
    return static_cast<int>(std::distance(fs::directory_iterator(folder), fs::directory_iterator()));
  };
  // WNOWAIT: only looks, the child stays for whoever reaps it.
  siginfo_t child{};
  const bool unreaped = ::waitid(P_ALL, 0, &child, WEXITED | WNOHANG | WNOWAIT) == 0 && child.si_pid != 0;
  return {count("/proc/self/fd") - 1, count("/proc/self/task"), unreaped};  // -1: the iterator's own descriptor
}

bool nothingLeakedSince(const ResourceCounts& before) {
  const ResourceCounts now = currentResources();
  return now.descriptors <= before.descriptors && now.threads <= before.threads && !now.unreapedChild;
}

std::ostream& operator<<(std::ostream& out, const ResourceCounts& counts) {
  return out << "{descriptors " << counts.descriptors << ", threads " << counts.threads
             << (counts.unreapedChild ? ", a child unreaped}" : "}");
}

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

void withWatchdog(const char* what, std::function<void()> body) {
  auto done = std::async(std::launch::async, std::move(body));
  if (done.wait_for(std::chrono::minutes(3)) != std::future_status::ready) {
    std::fprintf(stderr, "deadlock: %s\n", what);
    std::abort();
  }
  done.get();
}

std::vector<std::string> parseEchoedArguments(const std::string& output) {
  const auto json = nlohmann::json::parse(output, nullptr, /*allow_exceptions=*/false);
  return json.is_array() ? json.get<std::vector<std::string>>() : std::vector<std::string>{};
}

SimulatedTool::SimulatedTool() {
  static std::atomic<int> counter{0};
  folder_ = (fs::temp_directory_path() / ("velmora-sim-" + std::to_string(::getpid()) + "-" + std::to_string(counter++)))
                .string();
  fs::remove_all(folder_);
  fs::create_directories(folder_ + "/lucid.d");
  path_ = folder_ + "/lucid";
  fs::create_symlink(kSimulator, path_);
}

SimulatedTool::~SimulatedTool() {
  std::error_code ignored;
  fs::remove_all(folder_, ignored);
}

void SimulatedTool::writeState(const std::string& name, const std::string& content) {
  const std::string target = folder_ + "/lucid.d/" + name;
  std::ofstream(target + ".tmp", std::ios::binary | std::ios::trunc) << content;
  fs::rename(target + ".tmp", target);
}

void SimulatedTool::setInstances(const std::vector<Instance>& instances) {
  std::string content;
  for (const auto& i : instances) {
    content += i.id + "\t" + i.filespace + "\t" + i.port + "\t" + i.mode + "\t" +
               (i.mountPoint.empty() ? "-" : i.mountPoint) + "\n";
  }
  writeState("instances", content);
}

void SimulatedTool::remove() { fs::remove(path_); }

std::vector<std::vector<std::string>> SimulatedTool::calls() const {
  std::ifstream log(folder_ + "/lucid.d/calls.log");
  std::vector<std::vector<std::string>> result;
  for (std::string line; std::getline(log, line);) result.push_back(parseEchoedArguments(line));
  return result;
}

int SimulatedTool::callCount(const std::string& command) const {
  int count = 0;
  for (const auto& words : calls()) {
    const std::size_t at = (words.size() > 2 && words[0] == "--instance") ? 2 : 0;
    if (at < words.size() && words[at] == command) ++count;
  }
  return count;
}

void drainMainQueue() {
  std::promise<void> done;
  platform::mainQueueAsync([&done] { done.set_value(); });
  done.get_future().wait();
}

}  // namespace velmora::test
