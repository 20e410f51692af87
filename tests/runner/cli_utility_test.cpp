#include "velmora/runner/cli_utility.hpp"

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <future>
#include <system_error>
#include <unordered_set>

#include <gtest/gtest.h>

#include "support/test_support.hpp"
#include "velmora/runner/cli_utility_error.hpp"

namespace velmora {
namespace {

using test::kSimulator;
using Case = CLIUtilityError::Case;

std::filesystem::path makeTempFolder() {
  auto folder = std::filesystem::temp_directory_path() /
                ("velmora-runner-" + std::to_string(::getpid()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
  std::filesystem::create_directories(folder);
  return folder;
}

std::filesystem::path writeScript(const std::filesystem::path& path, const std::string& body) {
  std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
  std::filesystem::permissions(path, std::filesystem::perms::owner_all);
  return path;
}

TEST(CLIUtilityError, TextsAreTheDocumentedOnes) {
  const std::pair<Case, const char*> cases[] = {
      {Case::launchPathNotFound, "The launch path for the utility does not exist"},
      {Case::failedToReadPipeData, "Failed to read output data from the pipe"},
      {Case::failedToParseOutputData, "Failed to parse output data"},
  };
  for (const auto& [errorCase, text] : cases) {
    const CLIUtilityError error(errorCase);
    EXPECT_EQ(error.errorDescription(), text);
    EXPECT_STREQ(error.what(), text);
  }
}

TEST(CLIUtilityError, ComparesAndHashesByCase) {
  EXPECT_EQ(CLIUtilityError(Case::launchPathNotFound), CLIUtilityError(Case::launchPathNotFound));
  EXPECT_NE(CLIUtilityError(Case::launchPathNotFound), CLIUtilityError(Case::failedToParseOutputData));
  std::unordered_set<CLIUtilityError> set{CLIUtilityError(Case::failedToParseOutputData),
                                          CLIUtilityError(Case::failedToParseOutputData)};
  EXPECT_EQ(set.size(), 1u);
}

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
}

TEST(GenericCLIUtilityRun, CommandOfOneEmptyWordIsOneEmptyArgument) {
  const auto folder = makeTempFolder();
  const auto script = writeScript(folder / "count-args", "printf '%s:[%s]' \"$#\" \"$1\"");
  EXPECT_EQ(GenericCLIUtility(script.string()).run({""}), "1:[]");
  EXPECT_EQ(GenericCLIUtility(script.string()).run({}, {""}), "1:[]");
  EXPECT_EQ(GenericCLIUtility(script.string()).run({}), "0:[]");
  std::filesystem::remove_all(folder);
}

TEST(GenericCLIUtilityRun, ReturnsOutputExactlyWhateverTheExitStatus) {
  const GenericCLIUtility tool(kSimulator);
  EXPECT_EQ(tool.run({"print", "no trailing newline"}), "no trailing newline");
  EXPECT_EQ(tool.run({"println", "  padded  "}), "  padded  \n");
  EXPECT_EQ(tool.run({"exit", "0"}), "");
  EXPECT_EQ(tool.run({"println", "valid", "exit", "1"}), "valid\n");
  EXPECT_EQ(tool.run({"print", "caf\xC3\xA9", "exit", "42"}), "caf\xC3\xA9");
}

TEST(GenericCLIUtilityRun, KilledBySignalStillReturnsWhatWasWritten) {
  const GenericCLIUtility shell("/bin/sh");
  EXPECT_EQ(shell.run({"-c", "printf before; kill -KILL $$"}), "before");
}

TEST(GenericCLIUtilityRun, InvalidUtf8FailsWhateverTheExitStatus) {
  const GenericCLIUtility tool(kSimulator);
  for (const char* status : {"0", "1"}) {
    test::expectError<CLIUtilityError>([&] { tool.run({"print", "ok ", "print-hex", "c0af", "exit", status}); },
                                       Case::failedToParseOutputData, "Failed to parse output data");
    test::expectError<CLIUtilityError>([&] { tool.run({"print-hex", "e282", "exit", status}); },
                                       Case::failedToParseOutputData, "Failed to parse output data");
  }
}

TEST(GenericCLIUtilityRun, MissingLaunchPathFailsWithoutStartingAnything) {
  const auto folder = makeTempFolder();
  const auto missing = folder / "no-such-tool";
  const GenericCLIUtility tool(missing.string());
  test::expectError<CLIUtilityError>([&] { tool.run({"x"}); }, Case::launchPathNotFound,
                                     "The launch path for the utility does not exist");
  // A dangling symbolic link names nothing either.
  const auto link = folder / "dangling";
  std::filesystem::remove(link);
  std::filesystem::create_symlink(missing, link);
  test::expectError<CLIUtilityError>([&] { GenericCLIUtility(link.string()).run({"x"}); },
                                     Case::launchPathNotFound,
                                     "The launch path for the utility does not exist");
  std::filesystem::remove_all(folder);
}

TEST(GenericCLIUtilityRun, UnlaunchablePathsFailWithThePlatformsError) {
  const auto folder = makeTempFolder();
  const auto plainFile = folder / "not-executable";
  std::ofstream(plainFile) << "#!/bin/sh\necho hi\n";
  std::filesystem::permissions(plainFile, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);

  for (const auto& path : {folder, plainFile}) {
    try {
      GenericCLIUtility(path.string()).run({"x"});
      ADD_FAILURE() << "launching " << path << " should fail";
    } catch (const std::system_error& error) {
      EXPECT_EQ(error.code(), std::error_code(EACCES, std::system_category())) << path;
    } catch (const CLIUtilityError& error) {
      ADD_FAILURE() << path << " reported " << error.what();
    }
  }
  std::filesystem::remove_all(folder);
}

TEST(GenericCLIUtilityRun, ReturnsOutputLargerThanAnyPipeBufferWhole) {
  const GenericCLIUtility tool(kSimulator);
  const std::string output = tool.run({"print-mib", "64", "println", "end"});
  ASSERT_EQ(output.size(), 64u * 1024 * 1024 + 4);
  EXPECT_EQ(output.substr(0, 23), "lucid-sim output line, ");
  EXPECT_EQ(output.substr(output.size() - 4), "end\n");
}

TEST(GenericCLIUtilityIsInstalled, TrueWhenTheToolStartsAndWritesUtf8) {
  EXPECT_TRUE(GenericCLIUtility(kSimulator).isInstalled());
  EXPECT_TRUE(GenericCLIUtility("/bin/false").isInstalled());  // exit status 1, no output
}

TEST(GenericCLIUtilityIsInstalled, FalseForEveryFailure) {
  EXPECT_FALSE(GenericCLIUtility("/nonexistent/tool").isInstalled());
  EXPECT_FALSE(GenericCLIUtility("/tmp").isInstalled());
  // A tool whose answer to the probe is not UTF-8.
  const auto folder = makeTempFolder();
  const auto script = writeScript(folder / "binary-tool", "printf '\\377'");
  EXPECT_FALSE(GenericCLIUtility(script.string()).isInstalled());
  std::filesystem::remove_all(folder);
}

// A run must never hold another run's pipe open: otherwise the quick run
// only sees the end of its output when the slow run's child exits.
TEST(GenericCLIUtilityConcurrency, QuickRunIsNotHeldUpByASlowOneStartedAtTheSameTime) {
  const GenericCLIUtility tool(kSimulator);
  for (int attempt = 0; attempt < 2; ++attempt) {
    std::atomic<bool> slowFinished{false};
    std::promise<void> go;
    auto ready = go.get_future().share();
    auto slow = std::async(std::launch::async, [&] {
      ready.wait();
      tool.run({"sleep", "3"});
      slowFinished = true;
    });
    auto quick = std::async(std::launch::async, [&] {
      ready.wait();
      return tool.run({"println", "quick"});
    });
    go.set_value();
    EXPECT_EQ(quick.get(), "quick\n");
    EXPECT_FALSE(slowFinished.load()) << "the quick run waited for the slow one";
    slow.get();
  }
}

TEST(GenericCLIUtilityConcurrency, ManyOverlappingRunsEachGetTheirOwnOutput) {
  const GenericCLIUtility tool(kSimulator);
  std::vector<std::future<std::string>> runs;
  for (int i = 0; i < 16; ++i) {
    runs.push_back(std::async(std::launch::async, [&tool, i] {
      return tool.run({"println", std::to_string(i), "sleep", "0.05"});
    }));
  }
  for (int i = 0; i < 16; ++i) EXPECT_EQ(runs[i].get(), std::to_string(i) + "\n");
}

}  // namespace
}  // namespace velmora
