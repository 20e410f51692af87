// The walk of the tree: by descriptors, so that a folder swapped meanwhile
// is never followed out of the tree and depth is not limited by PATH_MAX.
#include <cstdlib>

#include <fcntl.h>
#include <unistd.h>

#include "archive/folder_pipeline.hpp"
#include "archive/zip_fixture.hpp"
#include "platform/folder_tree.hpp"
#include "platform/unique_fd.hpp"

namespace velmora::test {
namespace {

using nlohmann::json;

// Level k's folder is swapped just before level k + 1 is listed: for a link
// to a folder outside with the same names, or for another folder. Whether
// the walk still holds the old folder's descriptor (invisible: the old
// folder is read) or must open it again (the swap is found), the archive
// never holds a byte from outside and never succeeds with wrong content.
TEST_F(ZipTest, AFolderSwappedBetweenItsListingAndItsSubfolderSIsNeverFollowed) {
  constexpr int kDepth = 4;
  const auto levelPath = [](const fs::path& top, int k) {
    fs::path path = top;
    for (int i = 1; i <= k; ++i) path /= "level" + std::to_string(i);
    return path;
  };
  const fs::path outside = root / "outside";
  for (const bool kept : {true, false}) {
    for (const bool toLink : {true, false}) {
      for (int k = 1; k < kDepth; ++k) {
        SCOPED_TRACE((kept ? "descriptors kept, " : "none kept, ") + std::string(toLink ? "link" : "folder") +
                     ", level " + std::to_string(k));
        fs::remove_all(source);
        fs::remove_all(outside);
        fs::remove_all(root / "out");
        for (int i = 1; i <= kDepth; ++i) {
          write(levelPath("", i) / "file.txt", text(3000, i));
          fs::create_directories(levelPath(outside, i));
          std::ofstream(levelPath(outside, i) / "file.txt") << "secret";
        }
        const fs::path swapped = levelPath(source, k), moved = swapped.string() + ".moved";
        bool done = false;
        archive::testing::setFolderListHook([&](const std::string& path) {
          if (done || path != levelPath(source, k + 1).string()) return;
          done = true;
          fs::rename(swapped, moved);
          if (toLink) {
            fs::create_directory_symlink(levelPath(outside, k), swapped);
          } else {
            fs::create_directory(swapped);
          }
        });
        platform::testing::setMostIdleFolders(kept ? platform::FolderTree::kMostIdleFolders : 0);
        // One lister: level k is listed whole before level k + 1 is.
        const auto outcome = zip(root / "out", {2, nullptr, 1});
        platform::testing::setMostIdleFolders(platform::FolderTree::kMostIdleFolders);
        archive::testing::setFolderListHook(nullptr);
        ASSERT_TRUE(done);
        fs::remove_all(swapped);
        fs::rename(moved, swapped);
        if (!outcome.archive) {
          EXPECT_EQ(outcome.errorCase, ZipFolderError::Case::unreadableItem);
          EXPECT_NE(outcome.errorText.find("changed while being archived"), std::string::npos) << outcome.errorText;
          EXPECT_FALSE(kept) << "a folder still open was opened again";
          continue;
        }
        EXPECT_TRUE(kept) << "a folder opened again was not checked";
        const json read = inspect(*outcome.archive, source);
        EXPECT_TRUE(read["bad"].is_null());
        EXPECT_EQ(read["differ"], json::array());
        EXPECT_EQ(read["missing"], json::array());
      }
    }
  }
}

// A chain of `depth` folders of 100-byte names in `top`, made relative to
// each one's descriptor (the path soon gets too long to use), with a file at
// the bottom; gives the file's name relative to `top`.
std::string makeDeepTree(const fs::path& top, int depth) {
  std::string relative;
  platform::UniqueFd folder(::open(top.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  for (int level = 0; level < depth; ++level) {
    const std::string name = std::string(96, static_cast<char>('a' + level % 26)) + std::to_string(1000 + level);
    relative += name + "/";
    EXPECT_EQ(::mkdirat(folder.get(), name.c_str(), 0755), 0) << "level " << level;
    folder = platform::UniqueFd(::openat(folder.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  }
  const platform::UniqueFd file(::openat(folder.get(), "deepest.txt", O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
  EXPECT_EQ(::write(file.get(), "at the bottom", 13), 13);
  return relative + "deepest.txt";
}

// 60 levels: paths of about 6,000 bytes, beyond PATH_MAX, archived whole.
// 660 levels: names beyond the 65,535 bytes an entry's name holds, refused
// (libzip would cut their length short, and the archive would hold wrong names).
TEST_F(ZipTest, ATreeDeeperThanPathMaxIsArchivedWholeUntilNamesOutgrowTheZip) {
  const std::string deepest = makeDeepTree(source, 60);
  ASSERT_GT(source.string().size() + deepest.size(), 4096u + 1000u);
  const auto outcome = zip(root / "out", {2});
  ASSERT_FALSE(outcome.error) << outcome.errorText;
  const json read = inspect(*outcome.archive, "");
  EXPECT_TRUE(read["bad"].is_null());
  EXPECT_EQ(read["entries"].size(), 61u);
  EXPECT_EQ(read["entries"][deepest]["content"], "at the bottom");
  // (Info-ZIP's unzip cuts names at 4,096 bytes: Python's reader alone here.)

  fs::create_directory(source / "z");
  makeDeepTree(source / "z", 660);
  const auto tooLong = zip(root / "too-long", {2});
  EXPECT_EQ(tooLong.errorCase, ZipFolderError::Case::unsupportedItem) << tooLong.errorText;
  EXPECT_NE(tooLong.errorText.find("longer than 65,535 bytes"), std::string::npos) << tooLong.errorText;
  EXPECT_EQ(std::system(("rm -rf '" + source.string() + "'").c_str()), 0);  // beyond remove_all's reach
}

}  // namespace
}  // namespace velmora::test
