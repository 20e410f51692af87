#include "lucidlink/parsers.hpp"

#include <gtest/gtest.h>

#include "support/test_support.hpp"
#include "velmora/diagnostics.hpp"
#include "velmora/lucidlink/lucid_link_cli_error.hpp"

namespace velmora::detail {
namespace {

using Records = std::vector<LucidFileSpaceInfo>;
const std::string kHeader = "INSTANCE ID    FILESPACE        PORT    MODE\n";

struct TableCase {
  const char* name;
  std::string text;
  Records expected;
};

TEST(FilespaceTable, ParsesTheDocumentedShapes) {
  const TableCase cases[] = {
      {"header only", kHeader, {}},
      {"header without line feed", "INSTANCE ID FILESPACE PORT MODE", {}},
      {"one row", kHeader + "2001   fs.alpha   7778   live\n", {{"2001", "fs.alpha", "7778", "live"}}},
      {"runs of blanks and tabs, blanks at both ends",
       kHeader + " \t 2001 \t\t fs.alpha    7778\tlive \t \n",
       {{"2001", "fs.alpha", "7778", "live"}}},
      {"five words keep the first four", kHeader + "2001 fs.alpha 7778 live extra\n",
       {{"2001", "fs.alpha", "7778", "live"}}},
      {"three words are skipped, the rest is kept", kHeader + "2001 fs.alpha 7778\n2002 fs.beta 7779 cache\n",
       {{"2002", "fs.beta", "7779", "cache"}}},
      {"notice above the header", "Notice: update available\nsome: thing\n" + kHeader + "1 a 2 b\n",
       {{"1", "a", "2", "b"}}},
      {"CRLF line ends", "INSTANCE ID FILESPACE PORT MODE\r\n1 a 2 b\r\n3 c 4 d\r\n",
       {{"1", "a", "2", "b"}, {"3", "c", "4", "d"}}},
      {"other newline characters", "INSTANCE ID\xE2\x80\xA8" "1 a 2 b\x0B" "3 c 4 d\xC2\x85",
       {{"1", "a", "2", "b"}, {"3", "c", "4", "d"}}},
      {"no-break and ideographic spaces are blanks", kHeader + "1\xC2\xA0" "a\xE3\x80\x80" "2 b\n",
       {{"1", "a", "2", "b"}}},
      {"a zero-width space is not a blank", kHeader + "1\xE2\x80\x8B" "a 2 b c\n",
       {{"1\xE2\x80\x8B" "a", "2", "b", "c"}}},
      {"header text again is an ordinary row", kHeader + "INSTANCE ID again here\n",
       {{"INSTANCE", "ID", "again", "here"}}},
      {"blank lines between rows", kHeader + "\n   \n1 a 2 b\n\t\n", {{"1", "a", "2", "b"}}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(parseFilespaceTable(c.text), c.expected) << c.name;
  }
}

TEST(FilespaceTable, WithoutAHeaderTheToolIsNotRunning) {
  const char* cases[] = {"", "\n\n", "    ", "\t \r\n", "2001 fs.alpha 7778 live\n", "instance id lowercase\n1 a 2 b\n"};
  for (const char* text : cases) {
    test::expectError<LucidLinkCLIError>([&] { parseFilespaceTable(text); },
                                         LucidLinkCLIError::Case::lucidNotRunning, "Lucid is not running");
  }
}

// Captures the warning lines instead of printing them.
using test::WarningCapture;

struct KeyValueCase {
  const char* name;
  std::string text;
  LucidDictionary expected;
  std::vector<std::string> warnings;
};

TEST(KeyValueOutput, ParsesTheDocumentedShapes) {
  const KeyValueCase cases[] = {
      {"mount point", "Mount point: /Volumes/Alpha\n", {{"Mount point", "/Volumes/Alpha"}}, {}},
      {"colons in the value", "Uptime: 12:34:56\n", {{"Uptime", "12:34:56"}}, {}},
      {"empty value", "Cache limit:\n", {{"Cache limit", ""}}, {}},
      {"empty key", ": orphan\n", {{"", "orphan"}}, {}},
      {"later key wins", "A: 1\nA: 2\n", {{"A", "2"}}, {}},
      {"empty lines are silent", "A: 1\n\n\nB: 2", {{"A", "1"}, {"B", "2"}}, {}},
      {"blank line warns", "A: 1\n   \nB: 2\n", {{"A", "1"}, {"B", "2"}},
       {"Warning: Skipping malformed line:    "}},
      {"word without colon warns", "Linked\nA: 1\n", {{"A", "1"}}, {"Warning: Skipping malformed line: Linked"}},
      {"trims white space and newlines", "  \tKey  \t:\t value \xE2\x80\xA8\r\n", {{"Key", "value"}}, {}},
      {"CR line ends", "A: 1\rB: 2\r", {{"A", "1"}, {"B", "2"}}, {}},
      {"CRLF line ends, a blank CRLF line is silent", "A: 1\r\n\r\nB: 2\r\n", {{"A", "1"}, {"B", "2"}}, {}},
      {"other newline characters stay in the value",
       "Filespace name: a\xE2\x80\xA8" "b\x0B" "c\x0C" "d\xC2\x85" "e\xE2\x80\xA9" "f\nUser: u\n",
       {{"Filespace name", "a\xE2\x80\xA8" "b\x0B" "c\x0C" "d\xC2\x85" "e\xE2\x80\xA9" "f"}, {"User", "u"}}, {}},
  };
  for (const auto& c : cases) {
    WarningCapture capture;
    EXPECT_EQ(parseKeyValueOutput(c.text), c.expected) << c.name;
    EXPECT_EQ(capture.lines(), c.warnings) << c.name;
  }
}

struct UserCase {
  const char* user;
  std::optional<bool> isAdmin;
  std::optional<std::string> email;
};

TEST(StatusInfo, DerivesUserFacts) {
  const UserCase cases[] = {
      {"alice@example.com [Administrator]", true, "alice@example.com"},
      {"  bob@example.com  ", false, "bob@example.com"},
      {"carol [Member] [Administrator]", true, "carol"},
      {"[Administrator]", true, "Administrator]"},
      {"[", false, "["},
      {"dave [administrator]", false, "dave"},
  };
  for (const auto& c : cases) {
    const LucidLinkCLIStatusInfo info(LucidDictionary{{"User", c.user}});
    EXPECT_EQ(info.isAdmin(), c.isAdmin) << c.user;
    EXPECT_EQ(info.userEmail(), c.email) << c.user;
  }
  const LucidLinkCLIStatusInfo none(LucidDictionary{});
  EXPECT_EQ(none.isAdmin(), std::nullopt);
  EXPECT_EQ(none.userEmail(), std::nullopt);
}

TEST(StatusInfo, DerivesProviderAndMountPoint) {
  const LucidLinkCLIStatusInfo both(LucidDictionary{{"Filespace object store provider", "Amazon S3"},
                                                    {"Filespace object store region", "eu-west-1"},
                                                    {"Mount point", "/Volumes/Alpha/"}});
  EXPECT_EQ(both.cloudProvider(), "Amazon S3 (eu-west-1)");
  EXPECT_EQ(both.mountPoint(), std::filesystem::path("/Volumes/Alpha"));
  EXPECT_EQ(LucidLinkCLIStatusInfo(LucidDictionary{{"Filespace object store provider", "Wasabi"}}).cloudProvider(), "Wasabi");
  EXPECT_EQ(LucidLinkCLIStatusInfo(LucidDictionary{{"Filespace object store region", "eu-west-1"}}).cloudProvider(),
            std::nullopt);
  // A mount point must be an absolute path: anything else names no place.
  for (const char* text : {"", "Volumes/Alpha", "./Alpha"}) {
    EXPECT_EQ(LucidLinkCLIStatusInfo(LucidDictionary{{"Mount point", text}}).mountPoint(), std::nullopt) << text;
  }
}

}  // namespace
}  // namespace velmora::detail
