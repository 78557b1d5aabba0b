#pragma once
// A zenoh session: opened with a configuration, closed by its destructor.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "zenoh/bytes.hpp"
#include "zenoh/closing.hpp"
#include "zenoh/config.hpp"
#include "zenoh/exception.hpp"
#include "zenoh/failure.hpp"
#include "zenoh/handoff.hpp"
#include "zenoh/keyexpr.hpp"
#include "zenoh/owned.hpp"
#include "zenoh/querier.hpp"
#include "zenoh/sample.hpp"
#include "zenoh/subscriber.hpp"
#include "zenoh/transport.h"

namespace zenoh::inline kq {

namespace detail {

struct QueryContext {
  std::function<void(const Reply&)> on_reply;
  std::function<void()> on_drop;
};

inline void query_on_reply(void* context, bool is_ok, const std::uint8_t* data,
                           std::size_t len) noexcept {
  taken_over(context);
  auto* ctx = static_cast<QueryContext*>(context);
  try {
    ctx->on_reply(Reply(is_ok, ByteView(data, len)));
  } catch (...) {
  }
  callback_done(context);
}

inline void query_on_drop(void* context) noexcept {
  all_callbacks_done(context);
  auto* ctx = static_cast<QueryContext*>(context);
  try {
    if (ctx->on_drop) ctx->on_drop();
  } catch (...) {
  }
  delete ctx;
}

// zenoh's close waits for its peers: on a dead or lossy link until its own timeout (10 s).
// The closing thread waits at most kCloseWait; a close that takes longer finishes on a thread
// of its own, so destroying a client never keeps its caller (or the interpreter lock)
// longer. Process exit waits at most kExitCloseWait for such closes (see closing.hpp).
inline constexpr std::chrono::milliseconds kCloseWait{800};
inline constexpr std::chrono::milliseconds kExitCloseWait{2000};

inline void close_session(KzSession* session) noexcept {
  Closing<KzSession>::Run(session, &::kz_session_close, &::kz_session_free, kCloseWait,
                          kExitCloseWait);
}

}  // namespace detail

class Session {
 public:
  struct GetOptions {
    // Sent with the encoding zenoh/serialized.
    std::optional<Bytes> payload;
    // zenoh's query timeout; when it expires zenoh finishes the query (drop notification).
    std::uint64_t timeout_ms = 10000;
  };

  static Session open(Config&& config, ZResult* err = nullptr) {
    KzSession* handle = nullptr;
    const ZResult code = ::kz_session_open(config.release(), &handle);
    if (code != Z_OK) detail::report_failure(code, "Failed to open session", err);
    return Session(handle);
  }

  // Closing waits at most detail::kCloseWait (see close_session).
  bool valid() const noexcept { return static_cast<bool>(handle_); }

  // `on_sample` runs on zenoh's threads, never two at once for one subscription.
  Subscriber<void> declare_subscriber(const KeyExpr& key_expr,
                                      std::function<void(const Sample&)> on_sample,
                                      std::function<void()> on_drop, ZResult* err = nullptr) const {
    auto context = std::make_shared<detail::SubscriberContext>();
    context->on_sample = std::move(on_sample);
    context->on_drop = std::move(on_drop);
    KzSubscriber* handle = nullptr;
    const auto ke = key_expr.as_string_view();
    // The Rust side owns this reference until its drop notification, failure included.
    auto* zenoh_ref = new detail::SubscriberContextRef(context);
    detail::handed_over(zenoh_ref);
    const ZResult code =
        ::kz_subscriber_declare(handle_.get(), ke.data(), ke.size(), &detail::subscriber_on_sample,
                                &detail::subscriber_on_drop, zenoh_ref, &handle);
    if (code != Z_OK) {
      detail::report_failure(code, "Failed to declare Subscriber", err);
      return Subscriber<void>(nullptr, nullptr);
    }
    return Subscriber<void>(handle, std::move(context));
  }

  // Issues a query. `on_reply` runs on zenoh's threads for every reply as it arrives
  // (replies are not consolidated); `on_drop` runs exactly once when zenoh has finished
  // with the query: all replies delivered, its timeout expired, or nothing matched. Both
  // callbacks are released after `on_drop`, also when the query cannot be issued.
  void get(const KeyExpr& key_expr, std::function<void(const Reply&)> on_reply,
           std::function<void()> on_drop, GetOptions&& options, ZResult* err = nullptr) const {
    auto* context = new detail::QueryContext{std::move(on_reply), std::move(on_drop)};
    const auto ke = key_expr.as_string_view();
    const std::uint8_t* payload = options.payload ? options.payload->data() : nullptr;
    const std::size_t payload_len = options.payload ? options.payload->size() : 0;
    detail::handed_over(context);
    const ZResult code =
        ::kz_get(handle_.get(), ke.data(), ke.size(), payload, payload_len, options.timeout_ms,
                 &detail::query_on_reply, &detail::query_on_drop, context);
    if (code != Z_OK) detail::report_failure(code, "Failed to perform get operation", err);
  }

  // Throws ZException "Failed to declare Querier" unless a result sink is given.
  Querier declare_querier(const KeyExpr& key_expr, ZResult* err = nullptr) const {
    KzQuerier* handle = nullptr;
    const auto ke = key_expr.as_string_view();
    const ZResult code = ::kz_querier_declare(handle_.get(), ke.data(), ke.size(), &handle);
    if (code != Z_OK) detail::report_failure(code, "Failed to declare Querier", err);
    return Querier(handle);
  }

 private:
  explicit Session(KzSession* handle) noexcept : handle_(handle) {}

  detail::Owned<KzSession, &detail::close_session> handle_;
};

}  // namespace zenoh::inline kq
