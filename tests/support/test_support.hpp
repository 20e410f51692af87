// Helpers shared by the tests: the simulator's path, resource counts of this
// process, and error checks that look at both the case and the exact text.
#pragma once

#include <chrono>
#include <functional>
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
  friend bool operator==(const ResourceCounts&, const ResourceCounts&) = default;
};
ResourceCounts currentResources();
std::ostream& operator<<(std::ostream& out, const ResourceCounts& counts);

// Polls `condition` until it holds or `limit` passes; for effects that
// happen on other threads (a child being reaped), never for speed.
bool eventually(const std::function<bool()>& condition,
                std::chrono::milliseconds limit = std::chrono::seconds(10));

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
