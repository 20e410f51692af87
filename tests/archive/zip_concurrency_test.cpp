// Stopping a zip: cancellation from another thread at any moment, from the
// progress callback, and a callback that throws. Every call ends with one
// completion, an archive in place or nothing at all, and no thread or
// descriptor left behind. Run under ThreadSanitizer in CI.
#include <atomic>
#include <cstring>
#include <thread>

#include <sys/stat.h>

#include "archive/folder_pipeline.hpp"
#include "archive/zip_fixture.hpp"
#include "platform/folder_tree.hpp"
#include "support/test_support.hpp"

namespace velmora::test {
namespace {

TEST_F(ZipTest, CancellationAtAnyMomentLeavesAnArchiveOrNothing) {
  write("big.log", text(12u << 20));
  for (int i = 0; i < 40; ++i) write("notes/n" + std::to_string(i) + ".txt", text(20000, i));
  // A first zip starts whatever lives on by design (a sanitizer's helper thread).
  ASSERT_FALSE(zip(root / "warm-up", {2}).error);
  const ResourceCounts before = currentResources();
  std::mt19937 random(11);
  int cancelled = 0;
  for (int run = 0; run < 20; ++run) {
    const fs::path output = root / ("out-" + std::to_string(run));
    ZipCancellation cancellation;
    const auto delay = std::chrono::microseconds(random() % 400000);
    std::thread canceller([&] {
      std::this_thread::sleep_for(delay);
      cancellation.cancel();
    });
    const auto outcome = zip(output, {1 + static_cast<unsigned>(run % 4), &cancellation});
    canceller.join();
    ASSERT_EQ(outcome.completions, 1);
    if (outcome.error) {
      ASSERT_EQ(outcome.errorCase, ZipFolderError::Case::cancelled) << outcome.errorText;
      EXPECT_EQ(outcome.errorText, "The zip was cancelled");
      if (fs::exists(output)) {
        EXPECT_EQ(listing(output), std::vector<std::string>{});
      }
      EXPECT_NE(outcome.progress.back(), 1.0f);
      ++cancelled;
    } else {
      EXPECT_EQ(listing(output), std::vector<std::string>{outcome.archive->filename().string()});
    }
  }
  EXPECT_GT(cancelled, 0);
  EXPECT_TRUE(eventually([&] { return nothingLeakedSince(before); })) << currentResources() << " vs " << before;
}

// Cancelled while folders are still being listed (and the first files
// read): the listing stops, and nothing is left.
TEST_F(ZipTest, CancellationStopsTheListing) {
  for (int folder = 0; folder < 60; ++folder) {
    for (int file = 0; file < 3; ++file) {
      write("f" + std::to_string(folder) + "/n" + std::to_string(file) + ".txt", text(5000, folder * 3 + file));
    }
  }
  ASSERT_FALSE(zip(root / "warm-up", {2}).error);
  const ResourceCounts before = currentResources();
  for (const unsigned readers : {1u, 4u, 32u}) {
    ZipCancellation cancellation;
    std::atomic<int> listed{0};
    archive::testing::setFolderListHook([&](const std::string&) {
      if (++listed == 10) cancellation.cancel();
    });
    const auto outcome = zip(root / "out", {2, &cancellation, readers});
    archive::testing::setFolderListHook(nullptr);
    EXPECT_EQ(outcome.completions, 1);
    EXPECT_EQ(outcome.errorCase, ZipFolderError::Case::cancelled) << outcome.errorText;
    EXPECT_LT(listed.load(), 61) << readers << " readers";  // every lister stopped early
    EXPECT_EQ(listing(root / "out"), std::vector<std::string>{});
  }
  EXPECT_TRUE(eventually([&] { return nothingLeakedSince(before); })) << currentResources() << " vs " << before;
}

// With no folder descriptor kept, threads open the same folders again at
// once, each from its parent: they share what one opened, read the right
// file, and every descriptor is closed in the end.
TEST_F(ZipTest, FoldersOpenedAgainAtOnceAreSharedAndAllClosed) {
  write("x/y/z/file", "content");
  const auto identity = [](const fs::path& path) {
    struct stat info {};
    EXPECT_EQ(::stat(path.c_str(), &info), 0);
    platform::ItemInfo item;
    item.version.device = info.st_dev, item.version.inode = info.st_ino;
    return item;
  };
  std::thread([] {}).join();  // ThreadSanitizer starts its helper thread with the first one
  const ResourceCounts before = currentResources();
  platform::testing::setMostIdleFolders(0);
  {
    platform::FolderTree tree(source.string());
    const auto x = tree.child(tree.root(), "x", identity(source / "x"));
    const auto y = tree.child(x, "y", identity(source / "x/y"));
    const auto z = tree.child(y, "z", identity(source / "x/y/z"));
    std::vector<std::thread> threads;
    std::atomic<int> wrong{0};
    for (int t = 0; t < 8; ++t) {
      threads.emplace_back([&] {
        for (int i = 0; i < 5000; ++i) {
          unsigned char read[7];
          tree.openFile(z, "file").readAt(0, read, sizeof read);
          if (std::memcmp(read, "content", 7) != 0) ++wrong;
        }
      });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(wrong.load(), 0);
  }
  platform::testing::setMostIdleFolders(platform::FolderTree::kMostIdleFolders);
  EXPECT_TRUE(nothingLeakedSince(before)) << currentResources() << " vs " << before;
}

TEST_F(ZipTest, ProgressCallbackCanStopTheZip) {
  write("big.log", text(12u << 20));
  const std::pair<const char*, std::function<void(ZipCancellation&, float)>> cases[] = {
      {"The zip was cancelled", [](ZipCancellation& cancellation, float fraction) {
         if (fraction > 0) cancellation.cancel();
       }},
      {"display gone", [](ZipCancellation&, float fraction) {
         if (fraction > 0) throw std::runtime_error("display gone");
       }},
      {"The zip was cancelled", [](ZipCancellation& cancellation, float) { cancellation.cancel(); }},  // at once
  };
  int run = 0;
  for (const auto& [expected, onProgress] : cases) {
    const fs::path output = root / std::to_string(run++);
    ZipCancellation cancellation;
    const auto outcome = zip(output, {2, &cancellation}, "Backup", [&](float f) { onProgress(cancellation, f); });
    EXPECT_EQ(outcome.completions, 1);
    EXPECT_EQ(outcome.errorText, expected) << run;
    EXPECT_EQ(listing(output), std::vector<std::string>{}) << run;
  }
}

}  // namespace
}  // namespace velmora::test
