// Folder archives, checked by independent readers: Python's zipfile module
// and Info-ZIP's unzip.
#include "velmora/archive/zip_folder.hpp"

#include <ctime>
#include <fstream>
#include <map>
#include <sstream>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "velmora/runner/cli_utility.hpp"

namespace velmora {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

const std::string kInspect = VELMORA_TESTS_DIR "/archive/inspect_zip.py";

class ZipFolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root = fs::temp_directory_path() /
           ("velmora-zip-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root);
    source = root / "Project";
    fs::create_directories(source);
  }
  void TearDown() override {
    std::error_code ignored;
    fs::permissions(root, fs::perms::owner_all, fs::perm_options::add, ignored);
    fs::remove_all(root, ignored);
  }

  void write(const fs::path& relative, const std::string& content, fs::perms perms = fs::perms::owner_read |
                                                                                   fs::perms::owner_write |
                                                                                   fs::perms::group_read) {
    fs::create_directories((source / relative).parent_path());
    std::ofstream(source / relative, std::ios::binary) << content;
    fs::permissions(source / relative, perms);
  }

  struct Outcome {
    std::optional<fs::path> archive;
    std::exception_ptr error;
    int completions = 0;
    std::vector<float> progress;
  };

  Outcome zip(const fs::path& output, const std::string& prefix = "Backup") {
    Outcome outcome;
    zipFolder(
        source, output, prefix, [&](std::optional<float> fraction) { outcome.progress.push_back(fraction.value_or(-1)); },
        [&](std::optional<fs::path> archive, std::exception_ptr error) {
          ++outcome.completions;
          outcome.archive = std::move(archive);
          outcome.error = error;
        });
    return outcome;
  }

  static std::string errorText(std::exception_ptr error) {
    try {
      std::rethrow_exception(error);
    } catch (const std::exception& e) {
      return e.what();
    }
  }

  static json inspect(const fs::path& archive) {
    return json::parse(GenericCLIUtility("/usr/bin/python3").run({kInspect, archive.string()}));
  }

  fs::path root;
  fs::path source;
};

TEST_F(ZipFolderTest, ArchiveHoldsExactlyTheFolderAsAFileManagerWouldMakeIt) {
  write("readme.txt", "hello\n");
  write("docs/guide.md", std::string(100000, 'g'), fs::perms::owner_all | fs::perms::group_read);
  write("docs/Ünïcødé – name.txt", "unicode\n");
  fs::create_directories(source / "empty/inner");
  fs::create_symlink("../readme.txt", source / "docs/link-to-readme");
  fs::create_symlink("/etc/passwd", source / "outside");
  fs::create_directory_symlink("..", source / "docs/loop");
  const std::time_t stamp = 1700000000;  // 2023-11-14 22:13:20 UTC
  const struct timespec times[2] = {{stamp, 0}, {stamp, 0}};
  ::utimensat(AT_FDCWD, (source / "readme.txt").c_str(), times, 0);

  const auto outcome = zip(root / "out");
  ASSERT_EQ(outcome.completions, 1);
  ASSERT_FALSE(outcome.error) << errorText(outcome.error);
  ASSERT_TRUE(outcome.archive);
  EXPECT_EQ(outcome.archive->parent_path(), root / "out");

  const json listing = inspect(*outcome.archive);
  EXPECT_TRUE(listing["bad"].is_null());
  std::map<std::string, json> entries;
  for (const auto& entry : listing["entries"]) entries[entry["name"]] = entry;

  std::vector<std::string> names;
  for (const auto& [name, entry] : entries) names.push_back(name);
  EXPECT_EQ(names, (std::vector<std::string>{"docs/", "docs/guide.md", "docs/link-to-readme", "docs/loop",
                                             "docs/Ünïcødé – name.txt", "empty/", "empty/inner/", "outside",
                                             "readme.txt"}));
  EXPECT_EQ(entries["readme.txt"]["content"], "hello\n");
  EXPECT_EQ(entries["readme.txt"]["compress_type"], 8);  // deflate
  EXPECT_EQ(entries["readme.txt"]["mode"], S_IFREG | 0640);
  EXPECT_EQ(entries["docs/guide.md"]["mode"], S_IFREG | 0740);
  EXPECT_EQ(entries["docs/guide.md"]["size"], 100000);
  EXPECT_EQ(entries["docs/"]["mode"].get<int>() & S_IFMT, S_IFDIR);
  EXPECT_EQ(entries["docs/link-to-readme"]["mode"].get<int>() & S_IFMT, S_IFLNK);
  EXPECT_EQ(entries["docs/link-to-readme"]["content"], "../readme.txt");
  EXPECT_EQ(entries["outside"]["content"], "/etc/passwd");  // the link, never what it points to
  EXPECT_EQ(entries["docs/loop"]["content"], "..");
  EXPECT_TRUE(entries["docs/Ünïcødé – name.txt"]["utf8_flag"]);

  std::tm local{};
  ::localtime_r(&stamp, &local);
  EXPECT_EQ(entries["readme.txt"]["date_time"],
            json::array({local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
                         local.tm_sec - local.tm_sec % 2}));

  // And Info-ZIP agrees that the archive is sound.
  EXPECT_NE(GenericCLIUtility("/usr/bin/unzip").run({"-t", outcome.archive->string()}).find("No errors detected"),
            std::string::npos);
}

TEST_F(ZipFolderTest, ProgressRisesFromZeroToOneOnTheCallingThread) {
  for (int i = 0; i < 50; ++i) write("f" + std::to_string(i), std::string(50000, static_cast<char>('a' + i % 26)));
  const auto outcome = zip(root / "out");
  ASSERT_FALSE(outcome.error) << errorText(outcome.error);
  ASSERT_GE(outcome.progress.size(), 3u);
  EXPECT_EQ(outcome.progress.front(), 0.0f);
  EXPECT_EQ(outcome.progress.back(), 1.0f);
  EXPECT_TRUE(std::is_sorted(outcome.progress.begin(), outcome.progress.end()));
}

TEST_F(ZipFolderTest, MissingOutputFolderIsCreatedAndAnExistingOneIsUsed) {
  write("a.txt", "a");
  const fs::path deep = root / "one/two/three";
  auto first = zip(deep, "First");
  ASSERT_FALSE(first.error) << errorText(first.error);
  EXPECT_TRUE(fs::exists(*first.archive));
  auto second = zip(deep, "Second");
  ASSERT_FALSE(second.error) << errorText(second.error);
  EXPECT_TRUE(fs::exists(*second.archive));
}

TEST_F(ZipFolderTest, MissingSourceFailsButLeavesTheOutputFolder) {
  fs::remove_all(source);
  const auto outcome = zip(root / "made/anyway");
  EXPECT_EQ(outcome.completions, 1);
  EXPECT_FALSE(outcome.archive);
  ASSERT_TRUE(outcome.error);
  EXPECT_TRUE(fs::is_directory(root / "made/anyway"));
  EXPECT_TRUE(fs::is_empty(root / "made/anyway"));
}

TEST_F(ZipFolderTest, OutputFolderThatCannotBeCreatedFails) {
  write("a.txt", "a");
  std::ofstream(root / "blocker") << "a file in the way";
  const auto outcome = zip(root / "blocker/sub");
  EXPECT_EQ(outcome.completions, 1);
  ASSERT_TRUE(outcome.error);
  EXPECT_THROW(std::rethrow_exception(outcome.error), fs::filesystem_error);
}

TEST_F(ZipFolderTest, AnExistingArchiveIsNeverTouched) {
  write("a.txt", "first content");
  const fs::path output = root / "out";
  fs::create_directories(output);
  // Whatever second the call lands in, the archive's name is taken already.
  const auto now = std::chrono::system_clock::now();
  std::vector<fs::path> taken;
  for (int offset = -1; offset <= 3; ++offset) {
    taken.push_back(output / archiveFileName("Backup", now + std::chrono::seconds(offset)));
    std::ofstream(taken.back()) << "an archive made earlier";
  }
  write("a.txt", "second content");
  const auto outcome = zip(output);
  EXPECT_EQ(outcome.completions, 1);
  ASSERT_TRUE(outcome.error);
  EXPECT_NE(errorText(outcome.error).find("already exists"), std::string::npos) << errorText(outcome.error);
  for (const auto& path : taken) {
    std::ifstream in(path);
    std::stringstream content;
    content << in.rdbuf();
    EXPECT_EQ(content.str(), "an archive made earlier");
  }
  // Nothing else was left behind.
  EXPECT_EQ(std::distance(fs::directory_iterator(output), fs::directory_iterator()), 5);
}

TEST_F(ZipFolderTest, UnreadableFileFailsTheWholeCallNamingIt) {
  if (::geteuid() == 0) GTEST_SKIP() << "root reads everything; the front-end test covers this as another user";
  write("ok.txt", "fine");
  write("secret.txt", "hidden", fs::perms::none);
  const auto outcome = zip(root / "out");
  ASSERT_TRUE(outcome.error);
  EXPECT_NE(errorText(outcome.error).find("secret.txt"), std::string::npos) << errorText(outcome.error);
  EXPECT_TRUE(fs::is_empty(root / "out"));
}

TEST_F(ZipFolderTest, SpecialFilesFailTheCallNamingThem) {
  write("ok.txt", "fine");
  ASSERT_EQ(::mkfifo((source / "pipe").c_str(), 0600), 0);
  const auto outcome = zip(root / "out");
  ASSERT_TRUE(outcome.error);
  EXPECT_NE(errorText(outcome.error).find("pipe"), std::string::npos) << errorText(outcome.error);
  EXPECT_TRUE(fs::is_empty(root / "out"));
}

TEST(ArchiveFileName, UsesATwelveHourClockWithoutMarker) {
  std::tm afternoon{};
  afternoon.tm_year = 2026 - 1900;
  afternoon.tm_mon = 1;  // February
  afternoon.tm_mday = 3;
  afternoon.tm_hour = 13;
  afternoon.tm_min = 5;
  afternoon.tm_sec = 9;
  afternoon.tm_isdst = -1;
  const auto when = std::chrono::system_clock::from_time_t(std::mktime(&afternoon));
  EXPECT_EQ(archiveFileName("Logs", when), "Logs_03-02-2026_01-05-09.zip");
  std::tm morning = afternoon;
  morning.tm_hour = 1;
  EXPECT_EQ(archiveFileName("Logs", std::chrono::system_clock::from_time_t(std::mktime(&morning))),
            "Logs_03-02-2026_01-05-09.zip");
  std::tm noon = afternoon;
  noon.tm_hour = 0;
  EXPECT_EQ(archiveFileName("a/b c", std::chrono::system_clock::from_time_t(std::mktime(&noon))),
            "a/b c_03-02-2026_12-05-09.zip");
}

}  // namespace
}  // namespace velmora
