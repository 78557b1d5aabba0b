#pragma once
// A subscription that decodes every sample as a T, stores it into its owner's target and
// then notifies its owner. Samples that do not decode are dropped without a trace: the
// target is written only after a complete decode, and the callback runs only after that.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "zenoh/ext/deserializer.hpp"
#include "zenoh/keyexpr.hpp"
#include "zenoh/session.hpp"
#include "zenoh/subscriber.hpp"

namespace korvel::zenoh_mdw {

// What a subscription does with each sample, on the delivering thread: decode, store into
// the target, notify. Every sample is decoded into scratch space that is then swapped with
// the target, so a sample that fails leaves the target as it was, and the lists of the
// message replaced by the swap are reused by the next decode instead of being allocated
// anew for every sample. zenoh calls one handler on one thread at a time.
template <class T>
class SampleHandler {
 public:
  SampleHandler(std::function<void()> callback, T& target)
      : callback_(std::move(callback)), target_(&target) {}

  void operator()(const zenoh::Sample& sample) {
    try {
      zenoh::ext::deserialize_into(sample.get_payload(), scratch_);
      std::swap(*target_, scratch_);
      callback_();
    } catch (...) {
      // Undecodable samples and failing callbacks are dropped; delivery goes on.
    }
  }

 private:
  std::function<void()> callback_;
  T* target_;
  T scratch_{};
};

template <class T>
class Subscriber {
 public:
  // `target` and whatever `callback` touches must be ready before construction (samples
  // may arrive before the constructor returns) and outlive the subscriber. The handler is
  // never run on two threads at once, and never after the destructor returns.
  // Throws zenoh::ZException "Failed to construct KeyExpr from: <key_expr>" or
  // "Failed to declare Subscriber".
  Subscriber(std::shared_ptr<zenoh::Session> session, std::function<void()> callback, T& target,
             const std::string& key_expr)
      : key_expr(key_expr) {
    const zenoh::KeyExpr ke(this->key_expr, true);
    auto handler = std::make_shared<SampleHandler<T>>(std::move(callback), target);
    subscriber.emplace(session->declare_subscriber(
        ke, [handler](const zenoh::Sample& sample) { (*handler)(sample); }, [] {}));
  }

  Subscriber(const Subscriber&) = delete;
  Subscriber& operator=(const Subscriber&) = delete;

 private:
  std::string key_expr;
  std::optional<zenoh::Subscriber<void>> subscriber;
};

}  // namespace korvel::zenoh_mdw
