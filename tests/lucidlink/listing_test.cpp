// Listing, reports and the instance lookup against the tool simulator.
#include <gtest/gtest.h>

#include "support/test_support.hpp"
#include "velmora/lucidlink/lucid_link_cli_utility.hpp"
#include "velmora/runner/cli_utility_error.hpp"

namespace velmora {
namespace {

using test::SimulatedTool;
using Case = LucidLinkCLIError::Case;

class ListingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tool.setInstances({{"2001", "alpha.fs", "7778", "live", "/Volumes/Alpha"},
                       {"2002", "beta.fs", "7779", "cache", "/Volumes/Be\xCC\x81ta"},  // decomposed é
                       {"2003", "gamma.fs", "7780", "live", ""}});
  }
  SimulatedTool tool;
};

TEST_F(ListingTest, ListAllFilespacesReadsTheTable) {
  const auto records = LucidLinkCLIUtility::listAllFilespaces(tool.path());
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0], (LucidFileSpaceInfo{"2001", "alpha.fs", "7778", "live"}));
  EXPECT_EQ(records[2].mode, "live");
}

TEST_F(ListingTest, ListOnAClientSendsItsInstance) {
  LucidLinkCLIUtility client(tool.path(), LucidFileSpaceInfo{"2002", "beta.fs", "7779", "cache"});
  EXPECT_EQ(client.list().size(), 3u);
  EXPECT_EQ(tool.callCount("list"), 1);
}

TEST_F(ListingTest, NoticeAndCrlfDoNotDisturbTheTable) {
  tool.setOptions("notice crlf");
  EXPECT_EQ(LucidLinkCLIUtility::listAllFilespaces(tool.path()).size(), 3u);
}

TEST_F(ListingTest, BrokenOrEmptyTableMeansNotRunning) {
  for (const char* options : {"broken-list", "empty-list"}) {
    tool.setOptions(options);
    test::expectError<LucidLinkCLIError>([&] { LucidLinkCLIUtility::listAllFilespaces(tool.path()); },
                                         Case::lucidNotRunning, "Lucid is not running");
  }
}

TEST_F(ListingTest, MissingToolFailsWithTheRunnersError) {
  tool.remove();
  test::expectError<CLIUtilityError>([&] { LucidLinkCLIUtility::listAllFilespaces(tool.path()); },
                                     CLIUtilityError::Case::launchPathNotFound,
                                     "The launch path for the utility does not exist");
}

TEST_F(ListingTest, StatusAndCacheOfAnInstance) {
  const LucidLinkCLIUtility client(tool.path(), LucidFileSpaceInfo{"2001", "alpha.fs", "7778", "live"});
  const auto status = client.statusInfo();
  EXPECT_EQ(status.mountPoint(), std::filesystem::path("/Volumes/Alpha"));
  EXPECT_EQ(status.filespaceName(), "alpha.fs");
  EXPECT_EQ(status.isAdmin(), true);
  EXPECT_EQ(status.userEmail(), "admin@alpha.fs");
  EXPECT_EQ(status.cloudProvider(), "Amazon S3 (us-east-1)");
  const auto cache = client.cacheInfo();
  EXPECT_EQ(cache.cacheLimit(), "10.00 GiB");
  EXPECT_EQ(cache.sizeOnDisk(), "1.25 GiB");
  EXPECT_EQ(cache.bytesRemainingToUpload(), "0 B");
  EXPECT_EQ(client.cache().at("Cache location"), "/var/cache/lucid");
}

TEST_F(ListingTest, EmptyReportMeansNotRunningButALineFeedIsAReport) {
  const LucidLinkCLIUtility unknown(tool.path(), LucidFileSpaceInfo{"9999", "x", "1", "live"});
  test::expectError<LucidLinkCLIError>([&] { unknown.statusInfo(); }, Case::lucidNotRunning,
                                       "Lucid is not running");
  test::expectError<LucidLinkCLIError>([&] { unknown.cacheInfo(); }, Case::lucidNotRunning,
                                       "Lucid is not running");

  tool.setMisbehaviour("newline exit 0");
  const LucidLinkCLIUtility client(tool.path(), LucidFileSpaceInfo{"2001", "alpha.fs", "7778", "live"});
  const auto status = client.statusInfo();
  EXPECT_EQ(status.mountPoint(), std::nullopt);
  EXPECT_EQ(status.filespaceName(), std::nullopt);
  EXPECT_EQ(status.isAdmin(), std::nullopt);
  EXPECT_TRUE(client.cache().empty());
}

struct LookupCase {
  const char* name;
  std::string path;
  std::optional<std::string> instance;  // nullopt: failedToFindCompatibleInstanceID
};

TEST_F(ListingTest, UtilityForFindsTheInstanceMountedExactlyThere) {
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
      EXPECT_EQ(client->launchPath(), tool.path()) << c.name;
    } else {
      test::expectError<LucidLinkCLIError>([&] { LucidLinkCLIUtility::utility(c.path, tool.path()); },
                                           Case::failedToFindCompatibleInstanceID,
                                           "Failed to find compatible filespace");
    }
  }
}

TEST_F(ListingTest, UtilityForPrefersTheFirstListedOfTwoSharingAMountPoint) {
  tool.setInstances({{"1", "a", "1", "live", "/mnt/shared"}, {"2", "b", "2", "live", "/mnt/shared"}});
  EXPECT_EQ(LucidLinkCLIUtility::utility("/mnt/shared", tool.path())->instanceID(), "1");
  EXPECT_EQ(tool.callCount("status"), 1);  // the second is never asked
}

TEST_F(ListingTest, UtilityForSkipsInstancesWhoseStatusFails) {
  tool.setInstances({{"1", "a", "1", "live", ""}, {"2", "b", "2", "live", "/mnt/two"}});
  EXPECT_EQ(LucidLinkCLIUtility::utility("/mnt/two", tool.path())->instanceID(), "2");
}

}  // namespace
}  // namespace velmora
