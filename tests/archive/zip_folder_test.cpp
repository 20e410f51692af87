// Folder archives, checked by independent readers: Python's zipfile module
// and Info-ZIP's unzip.
#include <cstdlib>
#include <ctime>
#include <map>
#include <thread>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "archive/folder_pipeline.hpp"
#include "platform/file_system.hpp"
#include "archive/zip_fixture.hpp"
#include "platform/unique_fd.hpp"

namespace velmora::test {
namespace {

using nlohmann::json;

TEST_F(ZipTest, ArchiveHoldsExactlyTheFolderAsAFileManagerWouldMakeIt) {
  write("readme.txt", "hello\n");
  write("docs/guide.md", text(100000));
  write("docs/Ünïcødé – name.txt", "unicode\n");
  write("docs/latin1-\xe9t\xe9.txt", "not UTF-8\n");  // stored as its bytes, unmarked
  write("empty.txt", "");
  write("large.log", text(9u << 20, 2) + std::string(1 << 20, '\0'));  // deflated in chunks
  // Compressed already, by their names: stored as they are, across deflate's
  // 64 KiB stored blocks and, for the large one, across chunks too.
  write("docs/photo.PNG", text(70000, 4));
  write("bundle.tar.gz", text(9u << 20, 5) + "end");
  write("empty.gz", "");
  fs::permissions(source / "docs/guide.md", fs::perms::owner_all | fs::perms::group_read);
  fs::permissions(source / "readme.txt", fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  fs::create_directories(source / "empty/inner");
  fs::create_symlink("../readme.txt", source / "docs/link-to-readme");
  fs::create_symlink("/etc/passwd", source / "outside");
  fs::create_directory_symlink("..", source / "docs/loop");
  const std::time_t stamp = 1700000000;  // 2023-11-14 22:13:20 UTC
  const struct timespec times[2] = {{stamp, 0}, {stamp, 0}};
  ::utimensat(AT_FDCWD, (source / "readme.txt").c_str(), times, 0);

  const auto outcome = zip(root / "out");
  ASSERT_EQ(outcome.completions, 1);
  ASSERT_FALSE(outcome.error) << outcome.errorText;
  ASSERT_EQ(outcome.archive->parent_path(), root / "out");

  const json read = inspect(*outcome.archive, source);
  EXPECT_TRUE(read["bad"].is_null());
  EXPECT_EQ(read["differ"], json::array());
  EXPECT_EQ(read["missing"], json::array());
  json entry = read["entries"];
  EXPECT_EQ(entry.size(), 15u);
  EXPECT_EQ(entry["readme.txt"]["compress_type"], 8);  // deflate
  EXPECT_EQ(entry["readme.txt"]["mode"], S_IFREG | 0640);
  EXPECT_EQ(entry["docs/guide.md"]["mode"], S_IFREG | 0740);
  EXPECT_EQ(entry["large.log"]["size"], (10u << 20));
  EXPECT_LT(entry["large.log"]["compress_size"], (5u << 20));
  EXPECT_EQ(entry["docs/photo.PNG"]["compress_size"], 70000 + 2 * 5);
  EXPECT_EQ(entry["bundle.tar.gz"]["compress_size"], (9u << 20) + 3 + 154 * 5);
  EXPECT_EQ(entry["empty.gz"]["compress_size"], 5);
  EXPECT_EQ(entry["docs/"]["mode"].get<int>() & S_IFMT, S_IFDIR);
  EXPECT_EQ(entry["empty/inner/"]["mode"].get<int>() & S_IFMT, S_IFDIR);
  EXPECT_EQ(entry["docs/link-to-readme"]["mode"].get<int>() & S_IFMT, S_IFLNK);
  EXPECT_EQ(entry["outside"]["content"], "/etc/passwd");  // the link, never what it points to
  EXPECT_EQ(entry["docs/loop"]["content"], "..");
  EXPECT_TRUE(entry["docs/Ünïcødé – name.txt"]["utf8_flag"]);
  EXPECT_FALSE(entry["docs/latin1-\\xe9t\\xe9.txt"]["utf8_flag"]);
  EXPECT_EQ(entry["docs/latin1-\\xe9t\\xe9.txt"]["content"], "not UTF-8\n");

  std::tm local{};
  ::localtime_r(&stamp, &local);
  EXPECT_EQ(entry["readme.txt"]["date_time"], json::array({local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                                                           local.tm_hour, local.tm_min, local.tm_sec - local.tm_sec % 2}));

  // Info-ZIP agrees, and the archive is the same bytes with any number of
  // compressing threads and reads in flight.
  EXPECT_EQ(std::system(("unzip -tq '" + outcome.archive->string() + "' >/dev/null").c_str()), 0);
  for (const unsigned threads : {1u, 2u, 8u}) {
    for (const unsigned readers : {1u, 4u, 32u}) {
      const std::string name = std::to_string(threads) + " threads, " + std::to_string(readers) + " readers";
      const auto again = zip(root / name, {threads, nullptr, readers});
      ASSERT_FALSE(again.error) << again.errorText;
      EXPECT_TRUE(bytesOf(*again.archive) == bytesOf(*outcome.archive)) << name;
    }
  }
}

// Bit 11 says the name is UTF-8; strict readers refuse the whole archive when
// a flagged name is not. Each name is read back as its exact bytes.
TEST_F(ZipTest, NamesAreMarkedUtf8OnlyWhenValidByRfc3629) {
  const std::pair<std::string, bool> cases[] = {
      {"overlong-\xc0\xaf", false},         {"overlong-\xc1\xbf", false},
      {"overlong-\xe0\x80\x80", false},     {"overlong-\xf0\x80\x80\x80", false},
      {"surrogate-\xed\xa0\x80", false},    {"surrogate-\xed\xbf\xbf", false},
      {"above-max-\xf4\x90\x80\x80", false}, {"lead-\xf5\x80\x80\x80", false},
      {"lead-\xff", false},                  {"cut-\xe2\x82", false},
      {"cut-\xf0\x9f\x98", false},           {"emoji-\xf0\x9f\x98\x80", true},
      {"max-\xf4\x8f\xbf\xbf", true},        {"bmp-\xef\xbf\xbd", true},
      {"control-\x01-\xc3\xa9", true},       {"ascii-control-\x01", false},
      {"caf\x82", false},                   {"caf\xc3\xa9", true},  // CP437's "é" beside UTF-8's
  };
  for (const auto& [name, utf8] : cases) write(name, name);
  fs::create_directory(source / "dir-\xed\xa0\x80");
  fs::create_directory(source / "dir-\xc3\xa9");
  const auto outcome = zip(root / "out");
  ASSERT_FALSE(outcome.error) << outcome.errorText;
  const json read = inspect(*outcome.archive, source);
  EXPECT_TRUE(read["bad"].is_null());
  EXPECT_EQ(read["differ"], json::array());
  EXPECT_EQ(read["missing"], json::array());
  // inspect_zip.py writes bytes that are not UTF-8 as \xNN; in these names
  // every byte above 0x7f is part of a bad sequence.
  const auto key = [](const std::string& name, bool utf8) {
    std::string out;
    for (const char c : name) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", static_cast<unsigned char>(c));
      out += utf8 || static_cast<unsigned char>(c) < 0x80 ? std::string(1, c) : escaped;
    }
    return out;
  };
  for (const auto& [name, utf8] : cases) {
    const json entry = read["entries"][key(name, utf8)];
    ASSERT_FALSE(entry.is_null()) << key(name, false);
    EXPECT_EQ(entry["utf8_flag"], utf8) << key(name, false);
  }
  EXPECT_FALSE(read["entries"]["dir-\\xed\\xa0\\x80/"]["utf8_flag"]);
  EXPECT_TRUE(read["entries"]["dir-\xc3\xa9/"]["utf8_flag"]);
  EXPECT_EQ(std::system(("unzip -tq '" + outcome.archive->string() + "' >/dev/null").c_str()), 0);
}

// A zip writes into a file without a name where the file system allows,
// so that a zip killed meanwhile leaves nothing. Where it writes under a
// hidden name instead, it holds a lock on it: the next zip into the folder
// removes such files whose lock is free (their writer died) and no other.
TEST_F(ZipTest, LeftoversOfDeadZipsAreRemovedAndLiveOnesKept) {
  write("big.txt", text(6u << 20));
  const fs::path output = root / "out";
  fs::create_directories(output);
  std::vector<std::string> seenWhileWriting;
  const auto first = zip(output, {1}, "Backup", [&](float fraction) {
    if (fraction > 0 && fraction < 1 && seenWhileWriting.empty()) seenWhileWriting = listing(output);
  });
  ASSERT_FALSE(first.error) << first.errorText;
  EXPECT_EQ(seenWhileWriting, std::vector<std::string>{}) << "named while written";
  fs::remove(*first.archive);

  struct Case {
    std::string name;
    bool locked;
    bool removed;
  };
  const std::string host = platform::hostIdentity();
  const std::vector<Case> cases = {
      {".Backup_07-12-2026_05-19-06.zip." + host + ".123456789.0.partial", false, true},
      {".a..b c_01-02-2030_12-00-00.zip." + host + ".1.17.partial", false, true},
      {".Backup_07-12-2026_05-19-06.zip." + host + ".123456789.1.partial", true, false},  // a live zip's
      {".Backup_07-12-2026_05-19-06.zip.0123456789abcdef.1.2.partial", false, false},    // another machine's
      {".Backup_07-12-2026_05-19-06.zip.123456789.0.partial", false, false},             // no machine
      {"Backup_07-12-2026_05-19-06.zip." + host + ".1.2.partial", false, false},         // not hidden
      {".Backup_07-12-2026_05-19-06.zip." + host + ".1.partial", false, false},
      {".notes.partial", false, false},
      {".Backup_07-12-2026_05-19-06.zip", false, false},
  };
  std::vector<platform::UniqueFd> locks;
  for (const auto& c : cases) {
    std::ofstream(output / c.name) << "partial archive";
    if (c.locked) {
      locks.emplace_back(::open((output / c.name).c_str(), O_RDWR | O_CLOEXEC));
      ASSERT_EQ(::flock(locks.back().get(), LOCK_EX), 0);
    }
  }
  const std::string fifo = ".x_01-01-2030_01-01-01.zip." + host + ".1.1.partial";
  ASSERT_EQ(::mkfifo((output / fifo).c_str(), 0600), 0);  // never opened blocking
  const auto second = zip(output, {1}, "Other");
  ASSERT_FALSE(second.error) << second.errorText;
  for (const auto& c : cases) EXPECT_EQ(fs::exists(output / c.name), !c.removed) << c.name;
  EXPECT_TRUE(fs::is_fifo(output / fifo));
}

// An empty folder gives a valid empty archive; a missing output folder is
// made with its parents, an existing one is used.
TEST_F(ZipTest, AnEmptyFolderIntoAMissingThenAnExistingOutputFolder) {
  for (const char* prefix : {"First", "Second"}) {
    const auto outcome = zip(root / "one/two/three", {}, prefix);
    ASSERT_FALSE(outcome.error) << outcome.errorText;
    const json read = inspect(*outcome.archive, source);
    EXPECT_TRUE(read["bad"].is_null());
    EXPECT_EQ(read["entries"], json::object());
  }
  EXPECT_EQ(listing(root / "one/two/three").size(), 2u);
}

// exFAT has no hard links: the archive is published by a rename after a
// check. A real exFAT file system, through FUSE on a loop device.
TEST_F(ZipTest, PublishesOnAFileSystemWithoutHardLinks) {
  if (::geteuid() != 0) GTEST_SKIP() << "a loop device and a FUSE mount need root";
  write("docs/a.txt", text(300000));
  const fs::path image = root / "exfat.img";
  const fs::path mount = root / "exfat";
  fs::create_directories(mount);
  std::ofstream(image).close();
  fs::resize_file(image, 16u << 20);
  ASSERT_EQ(std::system(("mkfs.exfat '" + image.string() + "' >/dev/null").c_str()), 0);
  std::string device = GenericCLIUtility("/usr/sbin/losetup").run({"--find", "--show", image.string()});
  while (!device.empty() && device.back() == '\n') device.pop_back();
  ASSERT_EQ(device.rfind("/dev/loop", 0), 0u) << device;
  struct Detach {
    std::string device;
    ~Detach() { GenericCLIUtility("/usr/sbin/losetup").run({"-d", device}); }
  } detach{device};
  ASSERT_EQ(std::system(("mount.exfat-fuse " + device + " '" + mount.string() + "' >/dev/null 2>&1").c_str()), 0);
  struct Unmount {
    fs::path at;
    ~Unmount() { GenericCLIUtility("/usr/bin/fusermount").run({"-u", at.string()}); }
  } unmount{mount};
  std::ofstream(mount / "probe").close();
  ASSERT_NE(::link((mount / "probe").c_str(), (mount / "probe-link").c_str()), 0) << "hard links work there";

  // No unnamed files there: the zip writes under a hidden name, locked, and
  // another zip into the same folder meanwhile leaves that file alone.
  write("docs/b.txt", text(4u << 20, 5));
  std::vector<std::string> whileWriting;
  std::optional<fs::path> nested;
  const auto outcome = zip(mount / "out", {1}, "Backup", [&](float fraction) {
    if (fraction <= 0 || fraction >= 1 || !whileWriting.empty()) return;
    whileWriting = listing(mount / "out");
    ASSERT_EQ(whileWriting.size(), 1u);
    platform::UniqueFd held(::open((mount / "out" / whileWriting[0]).c_str(), O_RDONLY | O_CLOEXEC));
    EXPECT_NE(::flock(held.get(), LOCK_EX | LOCK_NB), 0) << "the writer's lock is free";
    nested = zip(mount / "out", {1}, "Nested").archive;
    EXPECT_TRUE(fs::exists(mount / "out" / whileWriting[0])) << "a live zip's file was removed";
  });
  ASSERT_FALSE(outcome.error) << outcome.errorText;
  ASSERT_EQ(whileWriting.size(), 1u);
  EXPECT_EQ(whileWriting[0].rfind("." + outcome.archive->filename().string() + ".", 0), 0u) << whileWriting[0];
  ASSERT_TRUE(nested);
  auto names = listing(mount / "out");
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{outcome.archive->filename().string(), nested->filename().string()}));
  const json read = inspect(*outcome.archive, source);
  EXPECT_TRUE(read["bad"].is_null());
  EXPECT_EQ(read["differ"], json::array());
  EXPECT_EQ(read["entries"].size(), 3u);
}

TEST_F(ZipTest, ProgressRisesFromZeroToOneOnTheCallingThread) {
  write("large.txt", text(12u << 20));
  for (int i = 0; i < 50; ++i) write(std::string("f").append(std::to_string(i)), text(50000, i));
  const auto caller = std::this_thread::get_id();
  bool otherThread = false;
  const auto outcome = zip(root / "out", {2}, "Backup", [&](float) { otherThread |= std::this_thread::get_id() != caller; });
  ASSERT_FALSE(outcome.error) << outcome.errorText;
  EXPECT_FALSE(otherThread);
  ASSERT_GE(outcome.progress.size(), 3u);
  EXPECT_EQ(outcome.progress.front(), 0.0f);
  EXPECT_EQ(outcome.progress.back(), 1.0f);
  EXPECT_EQ(std::count(outcome.progress.begin(), outcome.progress.end(), 1.0f), 1);
  EXPECT_TRUE(std::is_sorted(outcome.progress.begin(), outcome.progress.end()));
}

// What a display shows in bytes comes from the zip's own listing: once, on
// the calling thread, before any fraction above 0, with links and folders
// counting nothing; never for a listing that failed; a throw fails the call,
// and a cancellation from it cancels it.
TEST_F(ZipTest, ListedGivesTheFilesBytesOnceBeforeAnyFraction) {
  write("large.txt", text(3u << 20));
  write("sub/deeper/small.txt", text(1000, 2));
  write("empty", "");
  fs::create_directories(source / "empty-folder");
  fs::create_symlink("large.txt", source / "link");
  const auto caller = std::this_thread::get_id();
  std::vector<std::uint64_t> listed;
  std::vector<float> fractions;
  ZipFolderOptions options{2};
  options.listed = [&](std::uint64_t bytes) {
    listed.push_back(bytes);
    EXPECT_EQ(std::this_thread::get_id(), caller);
    EXPECT_EQ(fractions, std::vector<float>{0.0f});
  };
  const auto outcome = zip(root / "out", options, "Backup", [&](float fraction) { fractions.push_back(fraction); });
  ASSERT_FALSE(outcome.error) << outcome.errorText;
  EXPECT_EQ(listed, std::vector<std::uint64_t>{(3u << 20) + 1000});

  listed.clear();
  fs::remove_all(source);
  EXPECT_TRUE(zip(root / "missing", options).error);
  EXPECT_EQ(listed, std::vector<std::uint64_t>{});

  write("a.txt", "a");
  options.listed = [](std::uint64_t) { throw std::runtime_error("the display is gone"); };
  const auto thrown = zip(root / "thrown", options);
  EXPECT_EQ(thrown.errorText, "the display is gone");
  EXPECT_FALSE(thrown.archive);
  EXPECT_EQ(listing(root / "thrown"), std::vector<std::string>{});

  ZipCancellation cancellation;
  options.cancellation = &cancellation;
  options.listed = [&](std::uint64_t) { cancellation.cancel(); };
  const auto cancelled = zip(root / "cancelled", options);
  EXPECT_EQ(cancelled.errorCase, ZipFolderError::Case::cancelled) << cancelled.errorText;
  EXPECT_EQ(listing(root / "cancelled"), std::vector<std::string>{});
}

TEST_F(ZipTest, AnExistingArchiveIsNeverTouched) {
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
  const auto outcome = zip(output);
  EXPECT_NE(outcome.errorText.find("already exists"), std::string::npos) << outcome.errorText;
  for (const auto& path : taken) EXPECT_EQ(bytesOf(path), "an archive made earlier");
  EXPECT_EQ(listing(output).size(), 5u);  // nothing else was left behind
}

// Each case fails the whole call with its error and leaves nothing in the
// output folder, which stays once made: no archive, no temporary file.
TEST_F(ZipTest, FailuresLeaveNothingBehind) {
  struct Case {
    const char* name;
    std::function<void(const fs::path& folder)> prepare;
    std::string prefix;
    std::optional<ZipFolderError::Case> expected;  // none: a file system error
    std::string inError;
    // At a step of reading z-swapped, whose pieces one reader reads in order.
    std::function<void(const fs::path& file, archive::testing::ReadStep, std::uint64_t offset)> duringRead = nullptr;
  };
  using archive::testing::ReadStep;
  const std::vector<Case> cases = {
      {"a missing source folder", [](const fs::path& folder) { fs::remove_all(folder); }, "Backup", std::nullopt,
       "No such file or directory"},
      {"a FIFO", [](const fs::path& folder) { ASSERT_EQ(::mkfifo((folder / "pipe").c_str(), 0600), 0); }, "Backup",
       ZipFolderError::Case::unsupportedItem, "pipe"},
      {"a parent in the prefix", nullptr, "../escaped", ZipFolderError::Case::invalidPrefix, "../escaped"},
      {"an absolute prefix", nullptr, "/tmp/escaped", ZipFolderError::Case::invalidPrefix, "/tmp/escaped"},
      {"a NUL in the prefix", nullptr, std::string("a\0b", 3), ZipFolderError::Case::invalidPrefix, "\"a\\0b\""},
      // Swapped in after the folder was listed: opened without blocking, refused.
      {"a file replaced by a FIFO", nullptr, "Backup", ZipFolderError::Case::unsupportedItem, "z-swapped",
       [](const fs::path& file, ReadStep step, std::uint64_t) {
         if (step != ReadStep::opening) return;
         fs::remove(file);
         ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0);
       }},
      {"a file cut short", nullptr, "Backup", ZipFolderError::Case::unreadableItem, "became shorter",
       [](const fs::path& file, ReadStep step, std::uint64_t offset) {
         if (step == ReadStep::pieceRead && offset == 0) fs::resize_file(file, 10);
       }},
      {"a file cut short before it is opened", nullptr, "Backup", ZipFolderError::Case::unreadableItem,
       "became shorter",
       [](const fs::path& file, ReadStep step, std::uint64_t) {
         if (step == ReadStep::opening) fs::resize_file(file, 10);
       }},
      // Listed an hour old, so that a rewrite within the clock's tick still shows.
      {"a file rewritten at the same size before it is opened",
       [](const fs::path& folder) {
         fs::last_write_time(folder / "z-swapped", fs::file_time_type::clock::now() - std::chrono::hours(1));
       },
       "Backup", ZipFolderError::Case::unreadableItem, "z-swapped\": it changed while being archived",
       [](const fs::path& file, ReadStep step, std::uint64_t) {
         if (step == ReadStep::opening) std::fstream(file, std::ios::binary | std::ios::in | std::ios::out) << "rewritten";
       }},
  };
  const std::string large = text(24u << 20);
  const std::string swapped = text(20u << 20, 3);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(source);
    fs::remove_all(root / "out");
    write("a-large.txt", large);
    write("z-swapped", swapped);
    if (c.prepare) c.prepare(source);
    archive::testing::setReadHook([&](const std::string& path, ReadStep step, std::uint64_t offset) {
      if (c.duringRead && path == (source / "z-swapped").string()) c.duringRead(path, step, offset);
    });
    const auto outcome = zip(root / "out", {1, nullptr, 1}, c.prefix);
    archive::testing::setReadHook(nullptr);
    EXPECT_EQ(outcome.completions, 1);
    EXPECT_FALSE(outcome.archive);
    EXPECT_EQ(outcome.errorCase, c.expected) << outcome.errorText;
    EXPECT_NE(outcome.errorText.find(c.inError), std::string::npos) << outcome.errorText;
    EXPECT_EQ(std::count(outcome.progress.begin(), outcome.progress.end(), 1.0f), 0);
    if (c.prefix == "Backup") {
      EXPECT_EQ(listing(root / "out"), std::vector<std::string>{});
    }
  }
  for (const auto& folder : {root, fs::path("/tmp")}) {
    for (const auto& name : listing(folder)) EXPECT_NE(name.rfind("escaped_", 0), 0u) << folder / name;
  }
}

// The prefix is followed by "_date.zip": only a separator or a NUL byte can
// take the archive out of the output folder or cut its name.
TEST_F(ZipTest, PrefixIsRefusedOnlyWhenItCouldLeaveTheFolder) {
  write("a.txt", "content");
  const std::pair<std::string, bool> cases[] = {
      {"..", true}, {".", true}, {"a..b", true}, {"", true}, {".hidden", true}, {"x y\\z", true},
      {"a/b", false}, {"../x", false}, {"/tmp/x", false}, {"/", false}, {std::string("a\0b", 3), false},
  };
  int run = 0;
  for (const auto& [prefix, accepted] : cases) {
    SCOPED_TRACE(prefix);
    const fs::path output = root / ("out-" + std::to_string(run++));
    const auto outcome = zip(output, {}, prefix);
    if (accepted) {
      ASSERT_FALSE(outcome.error) << outcome.errorText;
      EXPECT_EQ(outcome.archive->parent_path(), output);
      EXPECT_EQ(outcome.archive->filename().string().rfind(prefix + "_", 0), 0u);
      EXPECT_EQ(listing(output), std::vector<std::string>{outcome.archive->filename().string()});
    } else {
      EXPECT_EQ(outcome.errorCase, ZipFolderError::Case::invalidPrefix) << outcome.errorText;
      EXPECT_FALSE(fs::exists(output));
    }
  }
}

// A file changed between two of its pieces fails the call, whether it was
// saved by a rename (the descriptor still reads the old content, a link
// count that fell tells) or rewritten in place with the same size: no
// archive holds a content that never existed.
TEST_F(ZipTest, AFileChangedBetweenItsPiecesFailsTheZip) {
  const std::string original = text(12u << 20);
  const std::string replacement = text(12u << 20, 7);
  const std::vector<std::pair<const char*, std::function<void(const fs::path&)>>> changes = {
      {"saved by a rename",
       [&](const fs::path& file) {
         std::ofstream(file.string() + ".new", std::ios::binary) << replacement;
         fs::rename(file.string() + ".new", file);
       }},
      {"rewritten in place, same size",
       [&](const fs::path& file) {
         std::fstream(file, std::ios::binary | std::ios::in | std::ios::out) << replacement;
       }},
  };
  for (const auto& [name, change] : changes) {
    for (const unsigned threads : {1u, 4u}) {
      SCOPED_TRACE(std::string(name) + ", " + std::to_string(threads) + " threads");
      fs::remove_all(root / "out");
      write("big.txt", original);
      // Well before now, so that a rewrite within the clock's tick still shows.
      fs::last_write_time(source / "big.txt", fs::file_time_type::clock::now() - std::chrono::hours(1));
      bool changed = false;
      archive::testing::setReadHook([&](const std::string& path, archive::testing::ReadStep step, std::uint64_t offset) {
        if (step != archive::testing::ReadStep::pieceRead || offset != 0 || path != (source / "big.txt").string() ||
            changed) {
          return;
        }
        changed = true;
        change(source / "big.txt");
      });
      const auto outcome = zip(root / "out", {threads});
      archive::testing::setReadHook(nullptr);
      EXPECT_TRUE(changed);
      EXPECT_FALSE(outcome.archive);
      EXPECT_EQ(outcome.errorCase, ZipFolderError::Case::unreadableItem);
      EXPECT_NE(outcome.errorText.find("big.txt\": it changed while being archived"), std::string::npos)
          << outcome.errorText;
      EXPECT_EQ(listing(root / "out"), std::vector<std::string>{});
    }
  }
}

// 13:05:09, 01:05:09 and 00:05:09 local time on 3 February 2026.
TEST(ArchiveFileName, UsesATwelveHourClockWithoutMarker) {
  for (const auto& [hour, name] : {std::pair{13, "Logs_03-02-2026_01-05-09.zip"},
                                   {1, "Logs_03-02-2026_01-05-09.zip"},
                                   {0, "Logs_03-02-2026_12-05-09.zip"}}) {
    std::tm time{};
    time.tm_year = 2026 - 1900, time.tm_mon = 1, time.tm_mday = 3;
    time.tm_hour = hour, time.tm_min = 5, time.tm_sec = 9, time.tm_isdst = -1;
    EXPECT_EQ(archiveFileName("Logs", std::chrono::system_clock::from_time_t(std::mktime(&time))), name);
  }
}

}  // namespace
}  // namespace velmora::test
