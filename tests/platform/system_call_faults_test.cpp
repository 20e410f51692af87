// System calls of the POSIX layer made to fail through its seam: each run
// ends in a retry that loses nothing or in a clear error that leaves no
// process or descriptor behind, never in a hang or a false success.
#include "platform/posix/system_calls.hpp"

#include <cerrno>
#include <cstring>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <system_error>

#include <gtest/gtest.h>

#include "platform/file_system.hpp"
#include "platform/process.hpp"
#include "platform/source_file.hpp"
#include "platform/zip_writer.hpp"
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
    EXPECT_EQ(errorWithFaults(row, [&] { SourceFile(AT_FDCWD, path.string()).readAt(0, into, read.size()); }), row.error) << row.name;
    EXPECT_TRUE(row.error || read == content) << row.name;
  }
  std::filesystem::remove(path);
}

// A new archive is flushed, then published by the first way the file
// system allows: the unnamed file linked in, or the hidden file linked then
// removed, renamed without replacing, or renamed after a check. A failure
// leaves nothing in the folder.
TEST(SystemCallFaults, APendingFileIsPublishedByEachFallbackOrLeavesNothing) {
  namespace fs = std::filesystem;
  const Fault kNoTmpfile{EOPNOTSUPP}, kNoLinks{EPERM}, kNoNoReplace{EINVAL};
  struct PublishRow {
    const char* name;
    std::vector<std::pair<Call, std::vector<Fault>>> faults;
    int error;
  };
  const PublishRow rows[] = {
      {"unnamed, linked", {}, 0},
      {"named, linked then removed", {{Call::open, {kNoTmpfile}}}, 0},
      {"named, renamed without replacing", {{Call::open, {kNoTmpfile}}, {Call::link, {kNoLinks}}}, 0},
      {"named, renamed after a check",
       {{Call::open, {kNoTmpfile}}, {Call::link, {kNoLinks}}, {Call::rename, {kNoNoReplace}}}, 0},
      {"named, the rename fails",
       {{Call::open, {kNoTmpfile}}, {Call::link, {kNoLinks}}, {Call::rename, {kNoNoReplace, Fault{EACCES}}}}, EACCES},
      {"the flush fails", {{Call::fsync, {kEio}}}, EIO},
      {"named, the flush fails", {{Call::open, {kNoTmpfile}}, {Call::fsync, {kEio}}}, EIO},
  };
  const fs::path folder = fs::temp_directory_path() / ("velmora-publish-" + std::to_string(::getpid()));
  for (const auto& row : rows) {
    fs::remove_all(folder);
    fs::create_directories(folder);
    int error = 0;
    for (const auto& [call, script] : row.faults) injectFaults(call, script);
    try {
      PendingFile file(folder.string(), (folder / ".hidden.partial").string());
      ASSERT_EQ(::write(file.descriptor(), "archive", 7), 7);
      file.publish((folder / "final.zip").string());
    } catch (const std::system_error& e) {
      error = e.code().value();
    }
    clearFaults();
    EXPECT_EQ(error, row.error) << row.name;
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
    EXPECT_EQ(names, row.error ? std::vector<std::string>{} : std::vector<std::string>{"final.zip"}) << row.name;
    std::string content;
    std::ifstream(folder / "final.zip") >> content;
    EXPECT_EQ(content, row.error ? "" : "archive") << row.name;
  }
  fs::remove_all(folder);
}

// The zip writer's own calls failing: its error carries their errno.
TEST(SystemCallFaults, TheZipWriterFailsWithTheErrnoOfItsCall) {
  struct Stored : DeflatedSource {
    bool given = false;
    std::size_t read(unsigned char* buffer, std::size_t) override {
      if (std::exchange(given, true)) return 0;
      const unsigned char block[] = {1, 2, 0, 0xfd, 0xff, 'h', 'i'};  // "hi", one final stored block
      std::memcpy(buffer, block, sizeof block);
      return sizeof block;
    }
    std::uint32_t crc32() const override { return 0xd8932aac; }
  };
  const Row rows[] = {
      {"no space to write", Call::write, {Fault{ENOSPC}}, ENOSPC},
      {"truncating fails", Call::ftruncate, {kEio}, EIO},
      {"seeking fails", Call::lseek, {kEio}, EIO},
      {"reading back fails", Call::pread, {kEio}, EIO},
      {"correcting a name's flag fails", Call::pwrite, {kEio}, EIO},
      {"short writes", Call::write, {kOneByte, kOneByte}, 0},
  };
  const auto path = std::filesystem::temp_directory_path() / ("velmora-writer-" + std::to_string(::getpid()));
  for (const auto& row : rows) {
    UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    Stored source;
    int error = -1;
    {
      ZipWriter writer(fd.get());
      // libzip takes an overlong form for UTF-8: its flag is corrected in place.
      writer.addDirectory("overlong-\xc0\xaf/", 0755, 0);
      writer.addDeflatedFile("overlong-\xc0\xaf/hi.txt", 2, source, 0644, 0);
      injectFaults(row.call, row.script);
      try {
        writer.close(nullptr);
        error = 0;
      } catch (const ZipWriterError& e) {
        error = e.systemCode();
      }
      clearFaults();
    }
    EXPECT_EQ(error, row.error) << row.name;
    EXPECT_TRUE(row.error || std::system(("unzip -tq " + path.string() + " >/dev/null").c_str()) == 0) << row.name;
  }
  std::filesystem::remove(path);
}

}  // namespace
}  // namespace velmora::platform::posix
