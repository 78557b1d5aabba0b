#pragma once
// An observer of every sample a subscription receives, decodable or not: what a recorder or
// a stream monitor needs beside the latest decoded value.

#include "zenoh/bytes.hpp"

namespace korvel::zenoh_mdw {

template <class T>
class SampleTap {
 public:
  virtual ~SampleTap() = default;
  // Runs on the delivering thread right after the decode (and the owner's callback), never
  // for two samples of one subscription at once. `payload` is the sample as received;
  // `decoded` the new value, or null when the payload did not decode. Both are valid only
  // during the call. Must not throw, and must return quickly: the next sample waits.
  virtual void OnSample(zenoh::ByteView payload, const T* decoded) noexcept = 0;
};

}  // namespace korvel::zenoh_mdw
