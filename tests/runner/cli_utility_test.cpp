#include "velmora/runner/cli_utility.hpp"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <future>
#include <system_error>

#include <gtest/gtest.h>

#include "support/test_support.hpp"
#include "velmora/runner/cli_utility_error.hpp"

namespace velmora {
namespace {

using test::kSimulator;
using Case = CLIUtilityError::Case;

// A folder of its own for the test, with `script` in it as an executable
// shell script.
class ScriptFolder {
 public:
  ScriptFolder() { std::filesystem::create_directories(path); }
  ~ScriptFolder() { std::filesystem::remove_all(path); }
  std::string script(const std::string& name, const std::string& body) const {
    std::ofstream(path / name) << "#!/bin/sh\n" << body << "\n";
    std::filesystem::permissions(path / name, std::filesystem::perms::owner_all);
    return (path / name).string();
  }
  const std::filesystem::path path = std::filesystem::temp_directory_path() /
      ("velmora-runner-" + std::to_string(::getpid()) + "-" +
       ::testing::UnitTest::GetInstance()->current_test_info()->name());
};

TEST(GenericCLIUtilityRun, PassesTheExactArgumentVector) {
  const GenericCLIUtility tool(kSimulator);
  struct Row {
    std::vector<std::string> command;
    std::vector<std::string> args;
    std::vector<std::string> expected;
  };
  const Row rows[] = {
      {{"echo-args", "two"}, {"extra"}, {"echo-args", "two", "extra"}},
      {{"echo-args"}, {"", "with space", "-n", "quote\"s"}, {"echo-args", "", "with space", "-n", "quote\"s"}},
      {{"echo-args", ""}, {}, {"echo-args", ""}},
      {{"echo-args"}, {"line\nbreak", "tab\t", "$(not expanded)"}, {"echo-args", "line\nbreak", "tab\t", "$(not expanded)"}},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(test::parseEchoedArguments(tool.run(row.command, row.args)), row.expected);
  }
  // A command of one empty word is one empty argument, not none.
  const ScriptFolder folder;
  const GenericCLIUtility counting(folder.script("count-args", "printf '%s:[%s]' \"$#\" \"$1\""));
  EXPECT_EQ(counting.run({""}), "1:[]");
  EXPECT_EQ(counting.run({}, {""}), "1:[]");
  EXPECT_EQ(counting.run({}), "0:[]");
}

// The exit status never fails a run: the output comes back byte for byte,
// also from a tool that a signal ended.
TEST(GenericCLIUtilityRun, ReturnsOutputExactlyAndHowTheToolEnded) {
  struct Row {
    std::string path;
    std::vector<std::string> command;
    std::string output;
    CLIExitStatus status;
  };
  const Row rows[] = {
      {kSimulator, {"print", "no trailing newline"}, "no trailing newline", {false, 0}},
      {kSimulator, {"println", "  padded  "}, "  padded  \n", {false, 0}},
      {kSimulator, {"exit", "0"}, "", {false, 0}},
      {kSimulator, {"print", "caf\xC3\xA9", "exit", "42"}, "caf\xC3\xA9", {false, 42}},
      {"/bin/sh", {"-c", "printf before; kill -KILL $$"}, "before", {true, SIGKILL}},
  };
  for (const auto& row : rows) {
    const auto result = GenericCLIUtility(row.path).runWithExitStatus(row.command);
    EXPECT_EQ(result.output, row.output);
    EXPECT_EQ(result.exitStatus, row.status) << row.output;
  }
}

TEST(GenericCLIUtilityRun, InvalidUtf8FailsWhateverTheExitStatus) {
  const GenericCLIUtility tool(kSimulator);
  for (const char* status : {"0", "1"}) {
    for (const char* bytes : {"c0af", "e282"}) {  // an overlong form; a sequence cut short by the end
      test::expectError<CLIUtilityError>([&] { tool.run({"print", "ok ", "print-hex", bytes, "exit", status}); },
                                         Case::failedToParseOutputData, "Failed to parse output data");
    }
  }
}

TEST(GenericCLIUtilityRun, MissingOrUnlaunchablePathsFail) {
  const ScriptFolder folder;
  const auto missing = folder.path / "no-such-tool";
  std::filesystem::create_symlink(missing, folder.path / "dangling");
  for (const auto& path : {missing, folder.path / "dangling"}) {
    test::expectError<CLIUtilityError>([&] { GenericCLIUtility(path.string()).run({"x"}); }, Case::launchPathNotFound,
                                       "The launch path for the utility does not exist");
  }
  // What exists but cannot be started fails with the platform's error.
  const auto plainFile = folder.script("not-executable", "echo hi");
  std::filesystem::permissions(plainFile, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
  for (const auto& path : {folder.path.string(), plainFile}) {
    try {
      GenericCLIUtility(path).run({"x"});
      ADD_FAILURE() << "launching " << path << " should fail";
    } catch (const std::system_error& error) {
      EXPECT_EQ(error.code(), std::error_code(EACCES, std::system_category())) << path;
    }
  }
}

TEST(GenericCLIUtilityIsInstalled, TrueOnlyWhenTheToolStartsAndWritesUtf8) {
  const ScriptFolder folder;
  EXPECT_TRUE(GenericCLIUtility(kSimulator).isInstalled());
  EXPECT_TRUE(GenericCLIUtility("/bin/false").isInstalled());  // exit status 1, no output
  EXPECT_FALSE(GenericCLIUtility("/nonexistent/tool").isInstalled());
  EXPECT_FALSE(GenericCLIUtility("/tmp").isInstalled());
  EXPECT_FALSE(GenericCLIUtility(folder.script("binary-tool", "printf '\\377'")).isInstalled());
  EXPECT_TRUE(GenericCLIUtility(folder.script("probe", "[ $# -eq 1 ] && [ -z \"$1\" ] || printf '\\377'")).isInstalled());
}

// Runs overlap freely: each gets its own output, and none holds another's
// pipe open (a quick run would then only see the end of its output when a
// slow run's child exits).
TEST(GenericCLIUtilityConcurrency, OverlappingRunsGetTheirOwnOutputAndNeverWaitForEachOther) {
  const GenericCLIUtility tool(kSimulator);
  std::atomic<bool> slowFinished{false};
  std::promise<void> go;
  auto ready = go.get_future().share();
  auto slow = std::async(std::launch::async, [&] {
    ready.wait();
    tool.run({"sleep", "4"});
    slowFinished = true;
  });
  std::vector<std::future<std::string>> quick;
  for (int i = 0; i < 16; ++i) {
    quick.push_back(std::async(std::launch::async, [&, i] {
      ready.wait();
      return tool.run({"println", std::to_string(i)});
    }));
  }
  go.set_value();
  for (int i = 0; i < 16; ++i) EXPECT_EQ(quick[i].get(), std::to_string(i) + "\n");
  EXPECT_FALSE(slowFinished.load()) << "a quick run waited for the slow one";
  slow.get();
}

}  // namespace
}  // namespace velmora
