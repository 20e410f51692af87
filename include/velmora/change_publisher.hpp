// A change notification with any number of subscribers.
//
// subscribe() returns a token; the subscription lasts as long as the token.
// Once a token has been destroyed (or cancel() has returned) its callback is
// not called again, and a call in progress on another thread has finished.
// A token may outlive the publisher; a callback may drop its own token.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace velmora {

class ChangePublisher {
 public:
  class Subscription {
   public:
    Subscription() = default;
    Subscription(Subscription&&) noexcept = default;
    Subscription& operator=(Subscription&& other) noexcept {
      if (this != &other) {
        cancel();
        entry_ = std::move(other.entry_);
      }
      return *this;
    }
    ~Subscription() { cancel(); }

    void cancel() noexcept;

   private:
    friend class ChangePublisher;
    struct Entry;
    explicit Subscription(std::shared_ptr<Entry> entry) : entry_(std::move(entry)) {}
    std::shared_ptr<Entry> entry_;
  };

  ChangePublisher();

  [[nodiscard]] Subscription subscribe(std::function<void()> callback);

  // Calls every live subscriber, in subscription order, on the calling thread.
  void send();

 private:
  struct Subscribers;
  std::shared_ptr<Subscribers> subscribers_;
};

}  // namespace velmora
