// System calls of the POSIX layer made to fail through its seam: each run
// ends in a retry that loses nothing or in a clear error that leaves no
// process or descriptor behind, never in a hang or a false success.
#include "platform/posix/system_calls.hpp"

#include <cerrno>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <system_error>

#include <gtest/gtest.h>

#include "platform/process.hpp"
#include "platform/source_file.hpp"
#include "support/test_support.hpp"
#include "velmora/runner/cli_utility.hpp"

namespace velmora::platform::posix {
namespace {

using Call = SystemCall;
using Words = std::vector<std::string>;
const Fault kEintr{EINTR}, kEagain{EAGAIN}, kEio{EIO}, kEnomem{ENOMEM}, kEmfile{EMFILE}, kOneByte{0, 1};

struct Row {
  const char* name;
  Call call;
  std::vector<Fault> script;
  int error;  // 0: retried, nothing lost; else the errno the run fails with
};

// The errno `body` fails with (0 when it does not), with the row's faults
// injected for its length; what the body left unused is dropped.
int errorWithFaults(const Row& row, const std::function<void()>& body) {
  injectFaults(row.call, row.script);
  int error = 0;
  try {
    body();
  } catch (const std::system_error& e) {
    error = e.code().value();
  }
  clearFaults();
  return error;
}

// Failing rows run a tool that would never end by itself after its output.
const Words kFinite = {"println", "first", "print-mib", "1", "exit", "3"};
const Words kEndless = {"println", "first", "forever"};

TEST(SystemCallFaults, TheRunnerRetriesOrFailsAndEndsTheTool) {
  const Row rows[] = {
      {"read interrupted", Call::read, {kEintr, kPassThrough, kEintr}, 0},
      {"short reads", Call::read, {kOneByte, kOneByte, kOneByte}, 0},
      {"wait interrupted", Call::waitpid, {kEintr, kEintr}, 0},
      {"read would block", Call::read, {kPassThrough, kEagain}, EAGAIN},
      {"read I/O error", Call::read, {kPassThrough, kEio}, EIO},
      {"no descriptor for the pipe", Call::pipe, {kEmfile}, EMFILE},
      {"no memory to spawn", Call::posixSpawn, {kEnomem}, ENOMEM},
  };
  const GenericCLIUtility tool(test::kSimulator);
  const CLIRunResult expected = tool.runWithExitStatus(kFinite);
  test::withWatchdog("runner faults", [&] {
    for (const auto& row : rows) {
      const auto before = test::currentResources();
      CLIRunResult result;
      EXPECT_EQ(errorWithFaults(row, [&] { result = tool.runWithExitStatus(row.error ? kEndless : kFinite); }),
                row.error) << row.name;
      EXPECT_TRUE(row.error || (result.output == expected.output && result.exitStatus == expected.exitStatus)) << row.name;
      EXPECT_TRUE(test::nothingLeakedSince(before)) << row.name;
    }
  });
}

TEST(SystemCallFaults, AChildProcessRetriesOrEndsWithTheErrorAndIsReaped) {
  const Row rows[] = {
      {"poll interrupted", Call::poll, {kEintr, kEagain, kEintr}, 0},
      {"read interrupted", Call::read, {kEintr, kEagain, kOneByte, kOneByte}, 0},
      {"wait interrupted", Call::waitid, {kEintr, kEintr}, 0},
      {"poll out of memory", Call::poll, {kPassThrough, kEnomem}, ENOMEM},
      {"read I/O error", Call::read, {kEio}, EIO},  // the endless tool's first read: it writes no more
      {"no descriptor for the pipe", Call::pipe, {kPassThrough, kEmfile}, EMFILE},
      {"spawn would block", Call::posixSpawn, {kEagain}, EAGAIN},
  };
  test::withWatchdog("child process faults", [&] {
    for (const auto& row : rows) {
      std::mutex mutex;
      std::string output;
      std::optional<std::pair<ExitStatus, int>> end;  // how it ended, and its output's error
      auto child = std::make_unique<ChildProcess>(test::kSimulator, row.error ? kEndless : kFinite);
      const int startError = errorWithFaults(row, [&] {
        child->start([&](std::string_view block) { std::lock_guard lock(mutex); output += block; },
                     [&](std::int32_t, ExitStatus status, bool, int error) {
                       std::lock_guard lock(mutex);
                       end.emplace(status, error);
                     });
        if (row.call != Call::pipe && row.call != Call::posixSpawn) {
          ASSERT_TRUE(test::eventually([&] { std::lock_guard lock(mutex); return end.has_value(); })) << row.name;
        }
      });
      std::lock_guard lock(mutex);
      if (startError != 0) {
        EXPECT_EQ(startError, row.error) << row.name;
        EXPECT_FALSE(end.has_value()) << row.name;
      } else if (row.error != 0) {  // ended by the library, not by itself
        EXPECT_EQ(end, std::pair(ExitStatus{true, SIGTERM}, row.error)) << row.name;
      } else {
        EXPECT_EQ(output.size(), (1u << 20) + 6) << row.name;
        EXPECT_EQ(end, std::pair(ExitStatus{false, 3}, 0)) << row.name;
      }
    }
  });
}

// An interrupted wake-up must still end the reading: the tool ignores
// SIGTERM, so only the kill after the grace period ends it.
TEST(SystemCallFaults, AStopWhoseWakeUpIsInterruptedStillEndsTheChild) {
  ChildProcess child(test::kSimulator, {"ignore-term", "println", "x", "forever"});
  std::atomic<bool> gotOutput{false}, ended{false};
  child.start([&](std::string_view) { gotOutput = true; }, [&](std::int32_t, ExitStatus, bool, int) { ended = true; });
  ASSERT_TRUE(test::eventually([&] { return gotOutput.load(); }));
  test::withWatchdog("interrupted wake-up", [&] {
    injectFaults(Call::write, {kEintr});
    child.stop();
    EXPECT_TRUE(test::eventually([&] { return ended.load(); }));
    clearFaults();
  });
}

TEST(SystemCallFaults, TheSourceReaderRetriesOrFails) {
  const auto path = std::filesystem::temp_directory_path() / ("velmora-faults-" + std::to_string(::getpid()));
  std::string content(100000, 'v');
  std::ofstream(path) << content;
  const Row rows[] = {
      {"open interrupted", Call::open, {kEintr, kEintr}, 0},
      {"read interrupted and short", Call::pread, {kEintr, kOneByte, kOneByte}, 0},
      {"open out of memory", Call::open, {kEnomem}, ENOMEM},
      {"read would block", Call::pread, {kOneByte, kEagain}, EAGAIN},
      {"read I/O error", Call::pread, {kOneByte, kEio}, EIO},
  };
  for (const auto& row : rows) {
    std::string read(content.size(), '\0');
    EXPECT_EQ(errorWithFaults(row, [&] {
                SourceFile(path.string()).readAt(0, reinterpret_cast<unsigned char*>(read.data()), read.size());
              }), row.error) << row.name;
    EXPECT_TRUE(row.error || read == content) << row.name;
  }
  std::filesystem::remove(path);
}

}  // namespace
}  // namespace velmora::platform::posix
