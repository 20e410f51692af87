// Stopping a zip: cancellation from another thread at any moment, from the
// progress callback, and a callback that throws. Every call ends with one
// completion, an archive in place or nothing at all, and no thread or
// descriptor left behind. Run under ThreadSanitizer in CI.
#include <thread>

#include "archive/zip_fixture.hpp"
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
  int completed = 0;
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
      ASSERT_EQ(errorCase(outcome.error), ZipFolderError::Case::cancelled) << errorText(outcome.error);
      EXPECT_EQ(errorText(outcome.error), "The zip was cancelled");
      if (fs::exists(output)) {
        EXPECT_EQ(listing(output), std::vector<std::string>{});
      }
      EXPECT_NE(outcome.progress.back(), 1.0f);
      ++cancelled;
    } else {
      EXPECT_EQ(listing(output), std::vector<std::string>{outcome.archive->filename().string()});
      ++completed;
    }
  }
  EXPECT_GT(cancelled, 0);
  EXPECT_TRUE(eventually([&] { return nothingLeakedSince(before); })) << currentResources() << " vs " << before;
}

TEST_F(ZipTest, ProgressCallbackCanStopTheZip) {
  write("big.log", text(12u << 20));
  struct Case {
    const char* name;
    std::function<void(ZipCancellation&, float)> onProgress;
    std::function<void(std::exception_ptr)> check;
  };
  const std::vector<Case> cases = {
      {"by cancelling",
       [](ZipCancellation& cancellation, float fraction) {
         if (fraction > 0) cancellation.cancel();
       },
       [](std::exception_ptr error) { EXPECT_EQ(errorCase(error), ZipFolderError::Case::cancelled); }},
      {"by throwing",
       [](ZipCancellation&, float fraction) {
         if (fraction > 0) throw std::runtime_error("display gone");
       },
       [](std::exception_ptr error) { EXPECT_EQ(errorText(error), "display gone"); }},
      {"by cancelling before it starts", [](ZipCancellation& cancellation, float) { cancellation.cancel(); },
       [](std::exception_ptr error) { EXPECT_EQ(errorCase(error), ZipFolderError::Case::cancelled); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path output = root / c.name;
    ZipCancellation cancellation;
    const auto outcome = zip(output, {2, &cancellation}, "Backup", [&](float f) { c.onProgress(cancellation, f); });
    EXPECT_EQ(outcome.completions, 1);
    ASSERT_TRUE(outcome.error);
    c.check(outcome.error);
    EXPECT_EQ(listing(output), std::vector<std::string>{});
  }
}

}  // namespace
}  // namespace velmora::test
