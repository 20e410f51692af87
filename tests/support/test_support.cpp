#include "support/test_support.hpp"

#include <filesystem>
#include <fstream>
#include <sstream>
#include <atomic>
#include <thread>

#include <unistd.h>

#include <nlohmann/json.hpp>

namespace velmora::test {

namespace {

int countEntries(const std::filesystem::path& folder) {
  int count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(folder)) ++count;
  return count;
}

}  // namespace

ResourceCounts currentResources() {
  ResourceCounts counts;
  counts.descriptors = countEntries("/proc/self/fd") - 1;  // the iterator's own descriptor
  counts.threads = countEntries("/proc/self/task");
  const std::string self = std::to_string(::getpid());
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream status(entry.path() / "status");
    std::string line;
    char state = '?';
    std::string parent;
    while (std::getline(status, line)) {
      const auto value = line.find_first_not_of(" \t", line.find(':') + 1);
      if (value == std::string::npos) continue;
      if (line.rfind("State:", 0) == 0) state = line[value];
      if (line.rfind("PPid:", 0) == 0) parent = line.substr(value);
    }
    if (parent == self && state == 'Z') ++counts.zombieChildren;
  }
  return counts;
}

bool nothingLeakedSince(const ResourceCounts& before) {
  const ResourceCounts now = currentResources();
  return now.descriptors <= before.descriptors && now.threads <= before.threads && now.zombieChildren == 0;
}

std::ostream& operator<<(std::ostream& out, const ResourceCounts& counts) {
  return out << "{descriptors " << counts.descriptors << ", threads " << counts.threads
             << ", zombie children " << counts.zombieChildren << "}";
}

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

bool processAlive(int pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("State:", 0) == 0) return line.find('Z') == std::string::npos;
  }
  return false;
}

std::vector<std::string> parseEchoedArguments(const std::string& output) {
  const auto json = nlohmann::json::parse(output, nullptr, /*allow_exceptions=*/false);
  if (!json.is_array()) return {};
  return json.get<std::vector<std::string>>();
}

}  // namespace velmora::test

#include <future>
#include <mutex>
#include <random>

#include "platform/serial_queue.hpp"
#include "velmora/diagnostics.hpp"

namespace velmora::test {

SimulatedTool::SimulatedTool() {
  static std::atomic<int> counter{0};
  folder_ = (std::filesystem::temp_directory_path() /
             ("velmora-sim-" + std::to_string(::getpid()) + "-" + std::to_string(counter++)))
                .string();
  std::filesystem::remove_all(folder_);
  std::filesystem::create_directories(folder_ + "/lucid.d");
  path_ = folder_ + "/lucid";
  restore();
}

SimulatedTool::~SimulatedTool() {
  std::error_code ignored;
  std::filesystem::remove_all(folder_, ignored);
}

void SimulatedTool::writeState(const std::string& name, const std::string& content) {
  const std::string target = folder_ + "/lucid.d/" + name;
  const std::string temporary = target + ".tmp";
  std::ofstream(temporary, std::ios::binary | std::ios::trunc) << content;
  std::filesystem::rename(temporary, target);
}

void SimulatedTool::setInstances(const std::vector<Instance>& instances) {
  std::string content;
  for (const auto& i : instances) {
    content += i.id + "\t" + i.filespace + "\t" + i.port + "\t" + i.mode + "\t" +
               (i.mountPoint.empty() ? "-" : i.mountPoint) + "\n";
  }
  writeState("instances", content);
}

void SimulatedTool::setOptions(const std::string& words) { writeState("options", words); }
void SimulatedTool::setMisbehaviour(const std::string& words) { writeState("misbehave", words); }

void SimulatedTool::remove() { std::filesystem::remove(path_); }

void SimulatedTool::restore() {
  std::error_code ignored;
  std::filesystem::remove(path_, ignored);
  std::filesystem::create_symlink(kSimulator, path_);
}

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

struct WarningCapture::State {
  std::mutex mutex;
  std::vector<std::string> lines;
};

WarningCapture::WarningCapture() : state_(std::make_shared<State>()) {
  previous_ = setWarningSink([state = state_](std::string_view line) {
    std::lock_guard lock(state->mutex);
    state->lines.emplace_back(line);
  });
}

WarningCapture::~WarningCapture() { setWarningSink(std::move(previous_)); }

std::vector<std::string> WarningCapture::lines() {
  std::lock_guard lock(state_->mutex);
  return state_->lines;
}

}  // namespace velmora::test
