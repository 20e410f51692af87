/// @file
/// A change notification with any number of subscribers.
///
/// subscribe() returns a token; the subscription lasts as long as the token.
/// Once a token has been destroyed (or cancel() has returned) its callback is
/// not called again; a call already running on another thread may finish:
/// cancelling never waits for it, so it may be done from anywhere, the
/// callback itself included. A token may outlive the publisher. Each callback
/// is called on its own: one that throws is reported through the warning sink
/// and the others are still called.
#pragma once

#include <functional>
#include <memory>

namespace velmora {

/// A change notification with any number of subscribers.
class ChangePublisher {
 public:
  /// The token of one subscription: the callback is called while it lives.
  class Subscription {
   public:
    ///@{
    /// An empty token, or one taking over another's subscription.
    Subscription() = default;
    Subscription(Subscription&&) noexcept = default;
    ///@}
    /// Cancels this token's subscription, then takes over `other`'s.
    Subscription& operator=(Subscription&& other) noexcept {
      if (this != &other) {
        cancel();
        entry_ = std::move(other.entry_);
      }
      return *this;
    }
    ~Subscription() { cancel(); }

    /// Ends the subscription at once, without waiting for a call in progress.
    void cancel() noexcept;

   private:
    friend class ChangePublisher;
    struct Entry;
    explicit Subscription(std::shared_ptr<Entry> entry) : entry_(std::move(entry)) {}
    std::shared_ptr<Entry> entry_;
  };

  ChangePublisher();

  /// Adds `callback`, called on the thread that calls send(), until the
  /// returned token is cancelled or destroyed.
  [[nodiscard]] Subscription subscribe(std::function<void()> callback);

  /// Calls every live subscriber, in subscription order, on the calling thread.
  void send();

 private:
  struct Subscribers;
  std::shared_ptr<Subscribers> subscribers_;
};

}  // namespace velmora
