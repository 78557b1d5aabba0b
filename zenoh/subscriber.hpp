#pragma once
// A declared subscription. While it lives, zenoh calls its sample handler; once its
// destructor has returned, the handler is not running and will never run again, so the
// handler may refer to objects that die right after the subscription.
//
// zenoh may deliver one subscription's samples from several of its threads; the handler
// is called under a per-subscription mutex, so calls never overlap.

#include <functional>
#include <memory>
#include <mutex>
#include <utility>

#include "zenoh/handoff.hpp"
#include "zenoh/owned.hpp"
#include "zenoh/sample.hpp"
#include "zenoh/transport.h"

namespace zenoh::inline kq {

namespace detail {

struct SubscriberContext {
  std::function<void(const Sample&)> on_sample;
  std::function<void()> on_drop;
  std::mutex mutex;
  bool alive = true;
};

// What the Rust side holds: one shared reference, released by the drop notification.
using SubscriberContextRef = std::shared_ptr<SubscriberContext>;

inline void subscriber_on_sample(void* context, const std::uint8_t* data,
                                 std::size_t len) noexcept {
  taken_over(context);
  auto& ctx = **static_cast<SubscriberContextRef*>(context);
  {
    std::lock_guard<std::mutex> lock(ctx.mutex);
    if (ctx.alive) {
      try {
        ctx.on_sample(Sample(ByteView(data, len)));
      } catch (...) {
        // A handler must not throw into zenoh; whatever escapes is dropped with the sample.
      }
    }
  }
  callback_done(context);
}

inline void subscriber_on_drop(void* context) noexcept {
  all_callbacks_done(context);
  auto* ref = static_cast<SubscriberContextRef*>(context);
  try {
    if ((*ref)->on_drop) (*ref)->on_drop();
  } catch (...) {
  }
  delete ref;
}

}  // namespace detail

template <class Handler>
class Subscriber;

template <>
class Subscriber<void> {
 public:
  Subscriber(Subscriber&&) noexcept = default;
  Subscriber& operator=(Subscriber&& other) noexcept {
    if (this != &other) {
      reset();
      handle_ = std::move(other.handle_);
      context_ = std::move(other.context_);
    }
    return *this;
  }
  ~Subscriber() { reset(); }

 private:
  friend class Session;
  Subscriber(KzSubscriber* handle, detail::SubscriberContextRef context) noexcept
      : handle_(handle), context_(std::move(context)) {}

  void reset() noexcept {
    handle_.reset();  // undeclares
    if (context_) {
      // Waits for a handler that is running now; none starts afterwards.
      std::lock_guard<std::mutex> lock(context_->mutex);
      context_->alive = false;
    }
    context_.reset();
  }

  detail::Owned<KzSubscriber, &::kz_subscriber_undeclare> handle_;
  detail::SubscriberContextRef context_;
};

}  // namespace zenoh::inline kq
