// Helpers shared by the tests: a private copy of the tool simulator, resource
// counts of this process, waiting for conditions, and error checks that look
// at both the case and the exact text.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "velmora/diagnostics.hpp"

namespace velmora::test {

inline const std::string kSimulator = VELMORA_SIM_PATH;

// Open descriptors and threads of this process, and whether a child of it
// waits to be reaped (Linux /proc and waitid).
struct ResourceCounts {
  int descriptors = 0, threads = 0;
  bool unreapedChild = false;
};
ResourceCounts currentResources();
// No more descriptors and threads than at `before` (a thread that was just
// ending then may be gone by now), and no child left unreaped.
bool nothingLeakedSince(const ResourceCounts& before);
std::ostream& operator<<(std::ostream& out, const ResourceCounts& counts);

// Polls `condition` until it holds or `limit` passes; for effects that happen
// on other threads, never for speed. The limit only ends a wait that would
// otherwise never end: it is far beyond what a loaded machine under a
// sanitizer needs.
bool eventually(const std::function<bool()>& condition,
                std::chrono::milliseconds limit = std::chrono::seconds(120));

// Runs `body` on a thread of its own; a body that has not finished within
// three minutes is deadlocked, and the process ends with a message rather
// than hanging.
void withWatchdog(const char* what, std::function<void()> body);

// The arguments a simulator run printed with "echo-args".
std::vector<std::string> parseEchoedArguments(const std::string& output);

// Runs `body`, expecting it to throw `Error` with case `expectedCase` and the
// exact text `expectedText`.
template <typename Error, typename Case, typename Body>
void expectError(Body&& body, Case expectedCase, const std::string& expectedText) {
  try {
    body();
    ADD_FAILURE() << "expected an error: " << expectedText;
  } catch (const Error& error) {
    EXPECT_EQ(error.errorCase(), expectedCase);
    EXPECT_EQ(std::string(error.what()), expectedText);
  }
}

// A private copy of the LucidLink tool simulator: a symbolic link in a
// temporary folder with its own state folder, so tests can run side by side.
class SimulatedTool {
 public:
  SimulatedTool();
  ~SimulatedTool();
  SimulatedTool(const SimulatedTool&) = delete;
  SimulatedTool& operator=(const SimulatedTool&) = delete;

  const std::string& path() const { return path_; }

  struct Instance {
    std::string id, filespace, port, mode, mountPoint;  // mountPoint "" gives none
  };
  // Replaces the instance set (atomically, so a running tool never sees half of it).
  void setInstances(const std::vector<Instance>& instances);
  void setOptions(const std::string& words) { writeState("options", words); }
  void setMisbehaviour(const std::string& words) { writeState("misbehave", words); }
  // Removes the tool itself, as when it is uninstalled.
  void remove();

  // The argument vectors of the tool commands run so far, in order.
  std::vector<std::vector<std::string>> calls() const;
  // Tool commands run so far ("list", "status" ...), counted by command word.
  int callCount(const std::string& command) const;

 private:
  void writeState(const std::string& name, const std::string& content);
  std::string folder_;
  std::string path_;
};

// Waits until every task queued on the main queue so far has run.
void drainMainQueue();

// Collects the library's warning lines instead of printing them, for as long
// as it lives. The sink shares the lines, so a warning still being emitted
// when the capture ends touches nothing freed.
class WarningCapture {
 public:
  WarningCapture() : previous_(setWarningSink([lines = lines_](std::string_view line) { lines->add(line); })) {}
  ~WarningCapture() { setWarningSink(std::move(previous_)); }
  WarningCapture(const WarningCapture&) = delete;
  WarningCapture& operator=(const WarningCapture&) = delete;
  std::vector<std::string> lines() { return lines_->get(); }

 private:
  struct Lines {
    void add(std::string_view line) {
      std::lock_guard lock(mutex);
      all.emplace_back(line);
    }
    std::vector<std::string> get() {
      std::lock_guard lock(mutex);
      return all;
    }
    std::mutex mutex;
    std::vector<std::string> all;
  };
  std::shared_ptr<Lines> lines_ = std::make_shared<Lines>();
  WarningSink previous_;
};

}  // namespace velmora::test
