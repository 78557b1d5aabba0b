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
    auto on_sample = [callback = std::move(callback), &target](const zenoh::Sample& sample) {
      try {
        T decoded = zenoh::ext::deserialize<T>(sample.get_payload());
        target = std::move(decoded);
        callback();
      } catch (...) {
        // Undecodable samples and failing callbacks are dropped; delivery goes on.
      }
    };
    subscriber.emplace(session->declare_subscriber(ke, std::move(on_sample), [] {}));
  }

  Subscriber(const Subscriber&) = delete;
  Subscriber& operator=(const Subscriber&) = delete;

 private:
  std::string key_expr;
  std::optional<zenoh::Subscriber<void>> subscriber;
};

}  // namespace korvel::zenoh_mdw
