#pragma once
// A zenoh session: opened with a configuration, closed by its destructor.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "zenoh/bytes.hpp"
#include "zenoh/config.hpp"
#include "zenoh/exception.hpp"
#include "zenoh/handoff.hpp"
#include "zenoh/keyexpr.hpp"
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
    if (code != Z_OK) {
      if (err == nullptr) throw ZException("Failed to open session", code);
      *err = code;
    }
    return Session(handle);
  }

  Session(Session&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
  Session& operator=(Session&&) = delete;
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;
  ~Session() {
    if (handle_ != nullptr) ::kz_session_close(handle_);
  }

  bool valid() const noexcept { return handle_ != nullptr; }

  // `on_sample` runs on zenoh's threads, never two at once for one subscription.
  Subscriber<void> declare_subscriber(const KeyExpr& key_expr,
                                      std::function<void(const Sample&)> on_sample,
                                      std::function<void()> on_drop,
                                      ZResult* err = nullptr) const {
    auto context = std::make_shared<detail::SubscriberContext>();
    context->on_sample = std::move(on_sample);
    context->on_drop = std::move(on_drop);
    KzSubscriber* handle = nullptr;
    const auto ke = key_expr.as_string_view();
    // The Rust side owns this reference until its drop notification, failure included.
    auto* zenoh_ref = new detail::SubscriberContextRef(context);
    detail::handed_over(zenoh_ref);
    const ZResult code =
        ::kz_subscriber_declare(handle_, ke.data(), ke.size(), &detail::subscriber_on_sample,
                                &detail::subscriber_on_drop, zenoh_ref, &handle);
    if (code != Z_OK) {
      if (err == nullptr) throw ZException("Failed to declare Subscriber", code);
      *err = code;
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
        ::kz_get(handle_, ke.data(), ke.size(), payload, payload_len, options.timeout_ms,
                 &detail::query_on_reply, &detail::query_on_drop, context);
    if (code != Z_OK) {
      if (err == nullptr) throw ZException("Failed to perform get operation", code);
      *err = code;
    }
  }

  // Throws ZException "Failed to declare Querier" unless a result sink is given.
  Querier declare_querier(const KeyExpr& key_expr, ZResult* err = nullptr) const {
    KzQuerier* handle = nullptr;
    const auto ke = key_expr.as_string_view();
    const ZResult code = ::kz_querier_declare(handle_, ke.data(), ke.size(), &handle);
    if (code != Z_OK) {
      if (err == nullptr) throw ZException("Failed to declare Querier", code);
      *err = code;
    }
    return Querier(handle);
  }

 private:
  explicit Session(KzSession* handle) noexcept : handle_(handle) {}

  KzSession* handle_ = nullptr;
};

}  // namespace zenoh::inline kq
