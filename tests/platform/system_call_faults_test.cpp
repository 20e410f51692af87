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

using namespace std::chrono_literals;
using Call = SystemCall;
const Fault kEintr{EINTR}, kEagain{EAGAIN}, kEio{EIO}, kEnomem{ENOMEM}, kOneByte{0, 1};
// Failing rows run a tool that would not end by itself after its output.
const std::vector<std::string> kFinite = {"println", "first", "print-mib", "1", "exit", "3"};
const std::vector<std::string> kEndless = {"println", "first", "forever"};

struct Row {
  const char* name;
  Call call;
  std::vector<Fault> script;
  int error;  // 0: retried, nothing lost; else the errno the run fails with
};

// The errno `body` throws with the row's faults injected; 0 when it throws none.
int errorWithFaults(const Row& row, const std::function<void()>& body) {
  injectFaults(row.call, row.script);
  int error = 0;
  try { body(); } catch (const std::system_error& e) { error = e.code().value(); }
  clearFaults();
  return error;
}

TEST(SystemCallFaults, TheRunnerRetriesOrFailsAndEndsTheTool) {
  const Row rows[] = {
      {"read interrupted and short", Call::read, {kEintr, kOneByte, kPassThrough, kEintr, kOneByte}, 0},
      {"wait interrupted", Call::waitpid, {kEintr, kEintr}, 0},
      {"read would block", Call::read, {kPassThrough, kEagain}, EAGAIN},
      {"read I/O error", Call::read, {kPassThrough, kEio}, EIO},
      {"no descriptor for the pipe", Call::pipe, {Fault{EMFILE}}, EMFILE},
      {"no memory to spawn", Call::posixSpawn, {kEnomem}, ENOMEM},
  };
  const GenericCLIUtility tool(test::kSimulator);
  const CLIRunResult expected = tool.runWithExitStatus(kFinite);
  test::withWatchdog("runner faults", [&] {
    for (const auto& row : rows) {
      const auto before = test::currentResources();
      CLIRunResult got;
      EXPECT_EQ(errorWithFaults(row, [&] { got = tool.runWithExitStatus(row.error ? kEndless : kFinite); }), row.error)
          << row.name;
      EXPECT_TRUE(row.error || (got.output == expected.output && got.exitStatus == expected.exitStatus)) << row.name;
      EXPECT_TRUE(test::nothingLeakedSince(before)) << row.name;
    }
  });
}

TEST(SystemCallFaults, AControlledRunRetriesOrFailsAndEndsTheTool) {
  const Row rows[] = {
      {"poll interrupted", Call::poll, {kEintr, kEintr}, 0},
      {"read I/O error", Call::read, {kEio}, EIO},
  };
  test::withWatchdog("controlled run faults", [&] {
    for (const auto& row : rows) {
      RunControl control;
      CompletedRun got;
      const auto& words = row.error ? kEndless : kFinite;
      EXPECT_EQ(errorWithFaults(row, [&] { got = runUnderControl(test::kSimulator, words, {}, true, control); }), row.error)
          << row.name;
      EXPECT_TRUE(row.error || (got.output.size() == (1u << 20) + 6 && got.status == ExitStatus{false, 3})) << row.name;
    }
  });
}

TEST(SystemCallFaults, AChildProcessRetriesOrIsTerminatedAndEndsWithTheError) {
  const Row rows[] = {
      {"poll interrupted", Call::poll, {kEintr, kEagain, kEintr}, 0},
      {"read interrupted and short", Call::read, {kEintr, kEagain, kOneByte, kOneByte}, 0},
      {"wait interrupted", Call::waitid, {kEintr, kEintr}, 0},
      {"poll out of memory", Call::poll, {kPassThrough, kEnomem}, ENOMEM},
      {"read I/O error", Call::read, {kEio}, EIO},  // the endless tool's only read
      {"no descriptor for its output", Call::pipe, {kPassThrough, Fault{EMFILE}}, EMFILE},  // start fails
      {"spawn would block", Call::posixSpawn, {kEagain}, EAGAIN},
  };
  test::withWatchdog("child process faults", [&] {
    for (const auto& row : rows) {
      std::mutex mutex;
      std::size_t bytes = 0;
      std::optional<std::pair<ExitStatus, int>> end;  // how it ended, and the error reading its output
      ChildProcess child(test::kSimulator, row.error ? kEndless : kFinite);
      const bool startFails = row.call == Call::pipe || row.call == Call::posixSpawn;
      EXPECT_EQ(errorWithFaults(row, [&] {
                  child.start([&](std::string_view block) { std::lock_guard lock(mutex); bytes += block.size(); },
                              [&](std::int32_t, ExitStatus s, bool, int e) { std::lock_guard lock(mutex); end.emplace(s, e); });
                  ASSERT_TRUE(test::eventually([&] { std::lock_guard lock(mutex); return end.has_value(); }));
                }), startFails ? row.error : 0) << row.name;
      child.stop();  // nothing left to signal
      EXPECT_TRUE(child.waitForExit(0ms) && (child.pid() == 0) == startFails) << row.name;
      std::lock_guard lock(mutex);
      // A failing child is ended by the library, not by itself; one that never started never calls back.
      const auto ending = std::pair(row.error ? ExitStatus{true, SIGTERM} : ExitStatus{false, 3}, row.error);
      EXPECT_EQ(end, startFails ? std::nullopt : std::optional(ending)) << row.name;
      EXPECT_TRUE(row.error || bytes == (1u << 20) + 6) << row.name;
    }
  });
}

TEST(SystemCallFaults, TheSourceReaderRetriesOrFails) {
  const auto path = std::filesystem::temp_directory_path() / ("velmora-faults-" + std::to_string(::getpid()));
  const std::string content(100000, 'v');
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
    auto* into = reinterpret_cast<unsigned char*>(read.data());
    EXPECT_EQ(errorWithFaults(row, [&] { SourceFile(path.string()).readAt(0, into, read.size()); }), row.error) << row.name;
    EXPECT_TRUE(row.error || read == content) << row.name;
  }
  std::filesystem::remove(path);
}

}  // namespace
}  // namespace velmora::platform::posix
