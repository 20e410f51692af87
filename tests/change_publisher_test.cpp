#include "velmora/change_publisher.hpp"

#include <atomic>
#include <future>
#include <stdexcept>

#include <gtest/gtest.h>

#include "support/test_support.hpp"

namespace velmora {
namespace {

using namespace std::chrono_literals;

TEST(ChangePublisher, SubscriptionLastsAsLongAsItsToken) {
  ChangePublisher publisher;
  int first = 0;
  int second = 0;
  auto a = publisher.subscribe([&] { ++first; });
  {
    auto b = publisher.subscribe([&] { ++second; });
    publisher.send();
  }
  publisher.send();
  a.cancel();
  a.cancel();  // idempotent
  publisher.send();
  EXPECT_EQ(first, 2);
  EXPECT_EQ(second, 1);

  // Moving a token moves the subscription; assigning over one cancels it.
  auto c = publisher.subscribe([&] { ++first; });
  auto d = std::move(c);
  publisher.send();
  d = publisher.subscribe([&] { ++second; });
  publisher.send();
  EXPECT_EQ(first, 3);
  EXPECT_EQ(second, 2);

  // A subscriber may cancel itself while it is being called.
  d = publisher.subscribe([&] {
    ++second;
    d.cancel();
  });
  publisher.send();
  publisher.send();
  EXPECT_EQ(second, 3);
}

TEST(ChangePublisher, TokenMayOutliveThePublisher) {
  ChangePublisher::Subscription survivor;
  {
    ChangePublisher publisher;
    survivor = publisher.subscribe([] {});
  }
  survivor.cancel();
}

TEST(ChangePublisher, SubscriberThatThrowsDoesNotSilenceTheOthers) {
  test::WarningCapture warnings;
  ChangePublisher publisher;
  int later = 0;
  auto a = publisher.subscribe([] { throw std::runtime_error("subscriber failed"); });
  auto b = publisher.subscribe([&] { ++later; });
  publisher.send();
  publisher.send();
  EXPECT_EQ(later, 2);
  EXPECT_EQ(warnings.lines(), (std::vector<std::string>(2, "Warning: change subscriber threw: subscriber failed")));
}

// Cancelling from another thread while the callback runs returns at once;
// the call in progress finishes, and no new one begins.
TEST(ChangePublisher, CancelNeverWaitsForACallbackInProgress) {
  ChangePublisher publisher;
  std::promise<void> inside;
  std::promise<void> release;
  std::atomic<int> calls{0};
  auto token = publisher.subscribe([&] {
    ++calls;
    inside.set_value();
    release.get_future().wait();
  });
  auto sending = std::async(std::launch::async, [&] { publisher.send(); });
  inside.get_future().wait();
  auto cancelling = std::async(std::launch::async, [&] { token.cancel(); });
  EXPECT_EQ(cancelling.wait_for(30s), std::future_status::ready) << "cancel() waited for the callback";
  release.set_value();
  sending.get();
  publisher.send();
  EXPECT_EQ(calls.load(), 1);
}

}  // namespace
}  // namespace velmora
