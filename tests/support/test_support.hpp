// Helpers shared by the tests: the simulator's path, resource counts of this
// process, and error checks that look at both the case and the exact text.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string_view>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace velmora::test {

inline const std::string kSimulator = VELMORA_SIM_PATH;
inline const std::string kFrontEnd = VELMORA_CLI_PATH;

// Open descriptors, threads and zombie children of this process (Linux /proc).
struct ResourceCounts {
  int descriptors = 0;
  int threads = 0;
  int zombieChildren = 0;
};
ResourceCounts currentResources();
// Whether this process holds no more descriptors and threads than it did at
// `before`, and no zombie child. (A thread that was just ending at `before`
// may be gone by now, so fewer is fine.)
bool nothingLeakedSince(const ResourceCounts& before);
std::ostream& operator<<(std::ostream& out, const ResourceCounts& counts);

// Polls `condition` until it holds or `limit` passes; for effects that
// happen on other threads (a child being reaped), never for speed.
// The limit only ends a wait that would otherwise never end: it is far
// beyond what a loaded machine under a sanitizer needs.
bool eventually(const std::function<bool()>& condition,
                std::chrono::milliseconds limit = std::chrono::seconds(120));

// Whether a process with this pid exists and is not a zombie.
bool processAlive(int pid);

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

}  // namespace velmora::test

namespace velmora::test {

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
  void setOptions(const std::string& words);
  void setMisbehaviour(const std::string& words);
  // Removes the tool itself, as when it is uninstalled; restore() brings it back.
  void remove();
  void restore();

  // Tool commands run so far ("list", "status" ...), counted by command word.
  int callCount(const std::string& command) const;
  // The argument vectors of the tool commands run so far, in order.
  std::vector<std::vector<std::string>> calls() const;

 private:
  void writeState(const std::string& name, const std::string& content);
  std::string folder_;
  std::string path_;
};

// Waits until every task queued on the main queue so far has run.
void drainMainQueue();

// Collects the library's warning lines instead of printing them, for as long
// as it lives.
class WarningCapture {
 public:
  WarningCapture();
  ~WarningCapture();
  WarningCapture(const WarningCapture&) = delete;
  WarningCapture& operator=(const WarningCapture&) = delete;
  std::vector<std::string> lines();

 private:
  struct State;
  std::shared_ptr<State> state_;
  std::function<void(std::string_view)> previous_;
};

}  // namespace velmora::test
