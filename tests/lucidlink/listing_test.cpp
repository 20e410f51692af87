// The client against the tool simulator: the instance prefix, reports and
// the instance lookup. The parsers' rows are tested without a process.
#include <gtest/gtest.h>

#include "support/test_support.hpp"
#include "velmora/lucidlink/lucid_link_cli_utility.hpp"
#include "velmora/runner/cli_utility_error.hpp"

namespace velmora {
namespace {

using test::SimulatedTool;
using Case = LucidLinkCLIError::Case;

LucidFileSpaceInfo instance(std::string id) { return LucidFileSpaceInfo{std::move(id), "fs.domain", "7778", "live"}; }

TEST(LucidLinkCLIUtility, PrefixesEveryCommandWithItsInstance) {
  const LucidLinkCLIUtility withInstance(test::kSimulator, instance("2001"));
  const LucidLinkCLIUtility optionLike(test::kSimulator, instance("--list"));
  const LucidLinkCLIUtility without(test::kSimulator);
  struct Row {
    const LucidLinkCLIUtility& client;
    std::vector<std::string> command;
    std::vector<std::string> args;
    std::vector<std::string> expected;
  };
  const Row rows[] = {
      {without, {"echo-args"}, {}, {"echo-args"}},
      {withInstance, {"echo-args", "config"}, {"--list", ""}, {"--instance", "2001", "echo-args", "config", "--list", ""}},
      {optionLike, {"echo-args"}, {}, {"--instance", "--list", "echo-args"}},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(test::parseEchoedArguments(row.client.runInstanceSpecificCommand(row.command, row.args)), row.expected);
  }
  const LucidLinkCLIUtility missing("/nonexistent/lucid", instance("1"));
  EXPECT_THROW(missing.list(), CLIUtilityError);  // runner failures pass through
}

// Overriding either run reaches every command of the client, and the reports
// still tell a failed tool from a report.
TEST(LucidLinkCLIUtility, EitherOverrideOfTheRunReachesEveryCommand) {
  struct CannedText : LucidLinkCLIUtility {
    using LucidLinkCLIUtility::LucidLinkCLIUtility;
    std::string runInstanceSpecificCommand(const std::vector<std::string>& command,
                                           const std::vector<std::string>& args) const override {
      if (passThrough) return LucidLinkCLIUtility::runInstanceSpecificCommand(command, args);
      return command.front() == "list" ? "INSTANCE ID FILESPACE PORT MODE\n7 x.fs 1 live\n" : "Filespace name: canned\n";
    }
    bool passThrough = false;
  };
  struct CannedRun : LucidLinkCLIUtility {
    using LucidLinkCLIUtility::LucidLinkCLIUtility;
    CLIRunResult runInstanceSpecificCommandWithExitStatus(const std::vector<std::string>& command,
                                                          const std::vector<std::string>&) const override {
      return {command.front() == "list" ? "INSTANCE ID FILESPACE PORT MODE\n7 x.fs 1 live\n" : "Filespace name: canned\n",
              {false, exitCode}};
    }
    int exitCode = 0;
  };
  CannedText text("/nonexistent/lucid");
  CannedRun run("/nonexistent/lucid");
  for (const LucidLinkCLIUtility* client : {static_cast<const LucidLinkCLIUtility*>(&text), static_cast<const LucidLinkCLIUtility*>(&run)}) {
    EXPECT_EQ(client->statusInfo().filespaceName(), "canned");
    EXPECT_EQ(client->cache().at("Filespace name"), "canned");
    EXPECT_EQ(client->list().at(0).instanceID, "7");
  }
  run.exitCode = 4;
  test::expectError<LucidLinkCLIError>([&] { run.statusInfo(); }, Case::invalidOutput,
                                       "Invalid output from lucid: the status command exited with status 4; it printed: "
                                       "Filespace name: canned");
  // An override that calls the default keeps how the tool ended.
  SimulatedTool tool;
  tool.setMisbehaviour("println Mount:x exit 5");
  CannedText passing(tool.path());
  passing.passThrough = true;
  test::expectError<LucidLinkCLIError>([&] { passing.cacheInfo(); }, Case::invalidOutput,
                                       "Invalid output from lucid: the cache command exited with status 5; it printed: "
                                       "Mount:x");
}

class ListingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tool.setInstances({{"2001", "alpha.fs", "7778", "live", "/Volumes/Alpha"},
                       {"2002", "beta.fs", "7779", "cache", "/Volumes/Be\xCC\x81ta"},  // decomposed é
                       {"2003", "gamma.fs", "7780", "live", ""}});
  }
  SimulatedTool tool;
};

// A tool that failed gave no report; one that exited 0 did, whatever it holds.
TEST_F(ListingTest, ReportsOfAnInstanceAndWhyThereIsNone) {
  EXPECT_EQ(LucidLinkCLIUtility::listAllFilespaces(tool.path()).at(0),
            (LucidFileSpaceInfo{"2001", "alpha.fs", "7778", "live"}));
  const LucidLinkCLIUtility client(tool.path(), LucidFileSpaceInfo{"2001", "alpha.fs", "7778", "live"});
  const auto status = client.statusInfo();
  EXPECT_EQ(status.mountPoint(), std::filesystem::path("/Volumes/Alpha"));
  EXPECT_EQ(status.userEmail(), "admin@alpha.fs");
  EXPECT_EQ(client.cacheInfo().sizeOnDisk(), "1.25 GiB");
  EXPECT_EQ(tool.calls().back(), (std::vector<std::string>{"--instance", "2001", "cache"}));

  const std::string invalid = "Invalid output from lucid: the status command ";
  const std::pair<const char*, std::string> rows[] = {
      {"println Error:not-running print-hex 1b5b324ac29b exit 1",  // control characters come escaped
       invalid + "exited with status 1; it printed: Error:not-running\\n\\x1b[2J\\u009b"},
      {"print Mount raise 9", invalid + "was ended by signal 9; it printed: Mount"},
      {"newline exit 2", invalid + "exited with status 2; it printed only white space"},
      {"println Cache:x exit 3", "Invalid output from lucid: the cache command exited with status 3; "
                                 "it printed: Cache:x"},
      {"raise 9", "Lucid is not running"},  // ended before it printed anything
  };
  for (const auto& [misbehaviour, text] : rows) {
    tool.setMisbehaviour(misbehaviour);
    const bool cache = text.find("cache") != std::string::npos;
    test::expectError<LucidLinkCLIError>([&] { cache ? (void)client.cacheInfo() : (void)client.statusInfo(); },
                                         text[0] == 'L' ? Case::lucidNotRunning : Case::invalidOutput, text);
  }
  tool.setMisbehaviour("newline exit 0");  // a record of absent facts, not a failure
  const auto empty = client.statusInfo();
  EXPECT_FALSE(empty.mountPoint() || empty.filespaceName() || empty.isAdmin() || empty.userEmail() ||
               empty.cloudProvider());
  tool.setMisbehaviour("println Cache:x exit 0");
  EXPECT_EQ(client.cache(), (LucidDictionary{{"Cache", "x"}}));
  EXPECT_FALSE(client.cacheInfo().cacheLimit());
  tool.setMisbehaviour("print-mib 1 exit 1");  // the output in the text is bounded, and says how much is left out
  EXPECT_THROW(try { client.statusInfo(); } catch (const LucidLinkCLIError& e) {
    EXPECT_TRUE(e.detail().size() < 4400 && e.detail().ends_with(" ... [1044480 more bytes]"));
    throw;
  }, LucidLinkCLIError);
}

TEST_F(ListingTest, UtilityForFindsTheInstanceMountedExactlyThere) {
  struct LookupCase {
    const char* name;
    std::string path;
    std::optional<std::string> instance;  // nullopt: failedToFindCompatibleInstanceID
  };
  const LookupCase cases[] = {
      {"the mount point", "/Volumes/Alpha", "2001"},
      {"with a trailing slash", "/Volumes/Alpha/", "2001"},
      {"with dot components", "/Volumes/./Other/../Alpha", "2001"},
      {"precomposed form of a decomposed mount point", "/Volumes/B\xC3\xA9ta", "2002"},
      {"a file inside", "/Volumes/Alpha/file.txt", std::nullopt},
      {"a longer sibling", "/Volumes/Alpha2", std::nullopt},
      {"case differs", "/volumes/alpha", std::nullopt},
  };
  for (const auto& c : cases) {
    if (c.instance) {
      const auto client = LucidLinkCLIUtility::utility(c.path, tool.path());
      ASSERT_NE(client, nullptr) << c.name;
      EXPECT_EQ(client->instanceID(), c.instance) << c.name;
    } else {
      test::expectError<LucidLinkCLIError>([&] { LucidLinkCLIUtility::utility(c.path, tool.path()); },
                                           Case::failedToFindCompatibleInstanceID,
                                           "Failed to find compatible filespace");
    }
  }
}

TEST_F(ListingTest, UtilityForSkipsFailingInstancesAndStopsAtTheFirstMatch) {
  tool.setInstances({{"1", "a", "1", "live", ""}, {"2", "b", "2", "live", "/mnt/shared"},
                     {"3", "c", "3", "live", "/mnt/shared"}});
  EXPECT_EQ(LucidLinkCLIUtility::utility("/mnt/shared", tool.path())->instanceID(), "2");
  EXPECT_EQ(tool.callCount("status"), 2);  // the third is never asked
}

}  // namespace
}  // namespace velmora
