// A change notification with any number of subscribers.
//
// subscribe() returns a token; the subscription lasts as long as the token.
// Once a token has been destroyed (or cancel() has returned) its callback is
// not called again; a call already running on another thread may finish:
// cancelling never waits for it, so it may be done from anywhere, the
// callback itself included. A token may outlive the publisher. Each callback
// is called on its own: one that throws is reported through the warning sink
// and the others are still called.
#pragma once

#include <functional>
#include <memory>

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
