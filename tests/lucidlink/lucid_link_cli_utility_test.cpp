#include "velmora/lucidlink/lucid_link_cli_utility.hpp"

#include <gtest/gtest.h>

#include "support/test_support.hpp"
#include "velmora/runner/cli_utility_error.hpp"

namespace velmora {
namespace {

using test::kSimulator;
using test::parseEchoedArguments;

LucidFileSpaceInfo instance(std::string id) {
  return LucidFileSpaceInfo{std::move(id), "fs.domain", "7778", "live"};
}

TEST(LucidLinkCLIUtility, DefaultsToTheStandardToolPath) {
  EXPECT_EQ(LucidLinkCLIUtility().launchPath(), "/usr/local/bin/lucid");
  EXPECT_FALSE(LucidLinkCLIUtility().fsInfo().has_value());
  EXPECT_FALSE(LucidLinkCLIUtility().instanceID().has_value());
}

TEST(LucidLinkCLIUtility, InstanceIDFollowsFsInfo) {
  LucidLinkCLIUtility client(kSimulator, instance("2001"));
  EXPECT_EQ(client.instanceID(), "2001");
  client.setFsInfo(instance("2002"));
  EXPECT_EQ(client.instanceID(), "2002");
  client.setFsInfo(std::nullopt);
  EXPECT_EQ(client.instanceID(), std::nullopt);
}

TEST(LucidLinkCLIUtility, PrefixesEveryCommandWithItsInstance) {
  const LucidLinkCLIUtility withInstance(kSimulator, instance("2001"));
  const LucidLinkCLIUtility without(kSimulator);
  struct Row {
    const LucidLinkCLIUtility& client;
    std::vector<std::string> command;
    std::vector<std::string> args;
    std::vector<std::string> expected;
  };
  const Row rows[] = {
      {without, {"echo-args"}, {}, {"echo-args"}},
      {withInstance, {"echo-args"}, {}, {"--instance", "2001", "echo-args"}},
      {withInstance, {"echo-args", "config"}, {"--list", ""}, {"--instance", "2001", "echo-args", "config", "--list", ""}},
      {without, {"echo-args", "status"}, {"x y"}, {"echo-args", "status", "x y"}},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(parseEchoedArguments(row.client.runInstanceSpecificCommand(row.command, row.args)), row.expected);
  }
}

// The instance prefix must come first, even when the instance identifier is
// itself an empty string or looks like an option.
TEST(LucidLinkCLIUtility, InstanceIdentifierIsPassedAsOneUnquotedArgument) {
  const LucidLinkCLIUtility odd(kSimulator, instance("--list"));
  EXPECT_EQ(parseEchoedArguments(odd.runInstanceSpecificCommand({"echo-args"})),
            (std::vector<std::string>{"--instance", "--list", "echo-args"}));
}

TEST(LucidLinkCLIUtility, RunnerFailuresPassThroughUnchanged) {
  const LucidLinkCLIUtility missing("/nonexistent/lucid", instance("1"));
  test::expectError<CLIUtilityError>([&] { missing.runInstanceSpecificCommand({"status"}); },
                                     CLIUtilityError::Case::launchPathNotFound,
                                     "The launch path for the utility does not exist");
  const LucidLinkCLIUtility client(kSimulator, instance("1"));
  test::expectError<CLIUtilityError>([&] { client.runInstanceSpecificCommand({"print-hex", "ff"}); },
                                     CLIUtilityError::Case::failedToParseOutputData,
                                     "Failed to parse output data");
}

TEST(LucidLinkCLIUtility, EqualityIsByInstanceIdentifierAlone) {
  const LucidLinkCLIUtility a("/one/path", instance("1"));
  const LucidLinkCLIUtility b("/other/path", LucidFileSpaceInfo{"1", "other", "1", "cache"});
  const LucidLinkCLIUtility c("/one/path", instance("2"));
  const LucidLinkCLIUtility none1("/one/path");
  const LucidLinkCLIUtility none2("/other/path");
  EXPECT_TRUE(a == b);
  EXPECT_FALSE(a == c);
  EXPECT_TRUE(none1 == none2);
  EXPECT_FALSE(none1 == a);
  EXPECT_FALSE(a == none1);
}

TEST(LucidLinkCLIError, TextsAreTheDocumentedOnes) {
  using Case = LucidLinkCLIError::Case;
  const std::pair<LucidLinkCLIError, const char*> rows[] = {
      {LucidLinkCLIError(Case::lucidNotRunning), "Lucid is not running"},
      {LucidLinkCLIError(Case::failedToConvertOutputToDictionary), "Failed to parse lucidLink output"},
      {LucidLinkCLIError(Case::failedToFindCompatibleInstanceID), "Failed to find compatible filespace"},
      {LucidLinkCLIError(Case::invalidOutput), "Invalid output from lucid"},
      {LucidLinkCLIError::failedToSetOrDeleteConfig("Invalid option: --foo"), "Invalid option: --foo"},
      {LucidLinkCLIError::failedToSetOrDeleteConfig(""), ""},
  };
  for (const auto& [error, text] : rows) {
    EXPECT_EQ(error.localizedDescription(), text);
    EXPECT_STREQ(error.what(), text);
  }
  EXPECT_EQ(LucidLinkCLIError::failedToSetOrDeleteConfig("why").reason(), "why");
  EXPECT_EQ(LucidLinkCLIError(Case::invalidOutput, "ignored").reason(), "");
}

}  // namespace
}  // namespace velmora
