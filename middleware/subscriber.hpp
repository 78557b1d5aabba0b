#pragma once
// A subscription that decodes every sample as a T, stores it into its owner's target and
// then notifies its owner. Samples that do not decode are dropped without a trace: the
// target is written only after a complete decode, and the callback runs only after that.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "middleware/sample_tap.hpp"
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
  // Called with the spare message after each sample, before the next decode reuses its
  // storage: the owner may give back what one huge sample made it hold.
  using Recycle = void (*)(T& spare);

  // `tap`, when given, sees every sample after the decode; it must outlive the handler.
  SampleHandler(std::function<void()> callback, T& target, SampleTap<T>* tap = nullptr,
                Recycle recycle = nullptr)
      : callback_(std::move(callback)), target_(&target), tap_(tap), recycle_(recycle) {}

  void operator()(const zenoh::Sample& sample) {
    const T* decoded = nullptr;
    try {
      zenoh::ext::deserialize_into(sample.get_payload(), scratch_);
      std::swap(*target_, scratch_);
      decoded = target_;
      callback_();
    } catch (...) {
      // Undecodable samples and failing callbacks are dropped; delivery goes on.
    }
    // The target is written only on this thread, so the tap may read it here.
    if (tap_ != nullptr) tap_->OnSample(sample.get_payload(), decoded);
    // The scratch now holds the previous sample's lists for reuse.
    if (recycle_ != nullptr) recycle_(scratch_);
  }

 private:
  std::function<void()> callback_;
  T* target_;
  SampleTap<T>* tap_;
  Recycle recycle_;
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
  // A `tap`, if given, sees every sample after the decode and must outlive the subscriber;
  // `recycle`, if given, is called with each sample's spare storage (see SampleHandler).
  Subscriber(std::shared_ptr<zenoh::Session> session, std::function<void()> callback, T& target,
             const std::string& key_expr, SampleTap<T>* tap = nullptr,
             typename SampleHandler<T>::Recycle recycle = nullptr)
      : key_expr(key_expr) {
    const zenoh::KeyExpr ke(this->key_expr, true);
    auto handler = std::make_shared<SampleHandler<T>>(std::move(callback), target, tap, recycle);
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
