#pragma once
// One remote call at a time over a zenoh query: encode the request, query the fixed key
// expression, wait with a timeout for the first reply that decodes as a Rep.
//
// The caller's wait and zenoh's reply and drop handlers share one state object per call,
// so a reply or the end-of-query notice that arrives after the caller gave up finds valid
// memory and is simply discarded. Its own failures are not logged (callers report them in
// their own words); a query zenoh refuses leaves zenoh's reason in the debug log.

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "zenoh/ext/deserializer.hpp"
#include "zenoh/ext/serializer.hpp"
#include "zenoh/keyexpr.hpp"
#include "zenoh/session.hpp"

namespace korvel::zenoh_mdw {

// Seconds to whole milliseconds, truncated toward zero (0.0015 s is 1 ms). Negative and
// not-a-number timeouts count as zero; absurdly large ones are capped.
inline std::int64_t TimeoutToMilliseconds(double timeout_s) {
  constexpr double kMaxMs = 1e15;  // about 31,000 years
  const double ms = timeout_s * 1000.0;
  if (!(ms > 0.0)) return 0;
  return static_cast<std::int64_t>(std::trunc(ms < kMaxMs ? ms : kMaxMs));
}

template <class Req, class Rep>
class RpcClient {
 public:
  RpcClient(std::shared_ptr<zenoh::Session> session, std::string key_expr)
      : session(std::move(session)), key_expr(std::move(key_expr)) {}

  RpcClient(const RpcClient&) = delete;
  RpcClient& operator=(const RpcClient&) = delete;

  // True when a decodable reply arrived before the deadline; it is then moved into
  // `reply`. On false `reply` is left exactly as passed. Calls on one client never
  // overlap: a second caller waits for the first call to finish completely.
  bool SendRequestAndGetReply(const Req& request, Rep& reply, double timeout) {
    std::lock_guard<std::mutex> client_lock(mutex);

    auto state = std::make_shared<RequestState>();
    const std::int64_t timeout_ms = TimeoutToMilliseconds(timeout);
    zenoh::Bytes payload = zenoh::ext::serialize(request);

    try {
      const zenoh::KeyExpr ke(key_expr, true);
      zenoh::Session::GetOptions options;
      options.payload = std::move(payload);
      options.timeout_ms = static_cast<std::uint64_t>(timeout_ms);
      session->get(ke, ReplyHandler{state}, DropHandler{state}, std::move(options));
    } catch (...) {
      return false;
    }

    std::unique_lock<std::mutex> state_lock(state->mutex);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    state->cond.wait_until(state_lock, deadline, [&] { return state->done; });
    if (!state->received) return false;
    reply = std::move(state->reply);
    return true;
  }

  // Waits until zenoh knows a queryable that a request would reach, or `timeout` passes;
  // false then. Peers are discovered some milliseconds after a session opens, and until
  // then a request ends at once, unanswered. Sends nothing; does not wait for a call.
  bool WaitForServer(double timeout) {
    try {
      const zenoh::KeyExpr ke(key_expr, true);
      const zenoh::Querier querier = session->declare_querier(ke);
      const auto deadline = std::chrono::steady_clock::now() +
                            std::chrono::milliseconds(TimeoutToMilliseconds(timeout));
      while (!querier.has_matching_queryables()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
      return true;
    } catch (...) {
      return false;
    }
  }

 private:
  struct RequestState {
    std::mutex mutex;
    std::condition_variable cond;
    Rep reply{};
    bool done = false;      // zenoh finished the query, or a reply was stored
    bool received = false;  // a decoded reply is in `reply`
  };

  struct ReplyHandler {
    std::shared_ptr<RequestState> state;
    void operator()(const zenoh::Reply& r) const {
      if (!r.is_ok()) return;
      Rep decoded{};
      try {
        decoded = zenoh::ext::deserialize<Rep>(r.get_ok().get_payload());
      } catch (...) {
        return;
      }
      std::lock_guard<std::mutex> lock(state->mutex);
      if (state->done && state->received) return;
      state->reply = std::move(decoded);
      state->done = true;
      state->received = true;
      state->cond.notify_all();
    }
  };

  struct DropHandler {
    std::shared_ptr<RequestState> state;
    void operator()() const {
      std::lock_guard<std::mutex> lock(state->mutex);
      state->done = true;
      state->cond.notify_all();
    }
  };

  std::mutex mutex;
  std::shared_ptr<zenoh::Session> session;
  std::string key_expr;
};

}  // namespace korvel::zenoh_mdw
