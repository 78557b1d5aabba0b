#pragma once
// A bounded ring of captured samples of one stream. The delivering thread copies each sample
// into a slot whose lists keep their storage; when the ring is full the oldest sample goes
// and is counted. A reader takes samples out by swapping slots with spare ones of its own,
// so a take costs a few pointer swaps per sample and nothing is copied twice.
//
// Not synchronized: its owner holds one lock around every call.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "capture/captured_sample.hpp"

namespace korvel::quor_impl {

template <class Message>
class SampleRing {
 public:
  using Sample = CapturedSample<Message>;

  SampleRing(std::size_t capacity, bool keep_payloads)
      : slots_(capacity), keep_payloads_(keep_payloads) {}

  std::size_t capacity() const noexcept { return slots_.size(); }
  std::size_t size() const noexcept { return count_; }
  std::uint64_t dropped() const noexcept { return dropped_; }

  void Push(const SampleTime& time, zenoh::ByteView payload, const Message* decoded,
            std::pair<std::int32_t, std::int32_t> robot_time) {
    if (count_ == slots_.size()) {
      head_ = Next(head_);
      --count_;
      ++dropped_;
    }
    Sample& slot = slots_[(head_ + count_) % slots_.size()];
    ++count_;
    slot.seq = next_seq_++;
    slot.time = time;
    slot.decoded = decoded != nullptr;
    slot.size = static_cast<std::uint32_t>(payload.size());
    slot.robot_time = decoded != nullptr ? robot_time : std::pair<std::int32_t, std::int32_t>{};
    if (decoded != nullptr) slot.message = *decoded;  // reuses the slot's list storage
    if (keep_payloads_) slot.payload.assign(payload.begin(), payload.end());
  }

  // Moves up to `n` of the oldest samples to out[used...], growing `out` as needed; the
  // slots get the spare samples that were there. Returns how many were taken.
  std::size_t Take(std::size_t n, std::vector<Sample>& out, std::size_t& used) {
    n = std::min(n, count_);
    if (out.size() < used + n) out.resize(used + n);
    for (std::size_t i = 0; i < n; ++i) {
      std::swap(slots_[head_], out[used++]);
      head_ = Next(head_);
    }
    count_ -= n;
    // Starting over at slot 0 keeps a regularly drained ring within its first few slots, so
    // only those ever hold allocated lists.
    if (count_ == 0) head_ = 0;
    return n;
  }

 private:
  std::size_t Next(std::size_t i) const noexcept { return i + 1 == slots_.size() ? 0 : i + 1; }

  std::vector<Sample> slots_;
  bool keep_payloads_;
  std::size_t head_ = 0;   // oldest sample
  std::size_t count_ = 0;
  std::uint64_t next_seq_ = 0;
  std::uint64_t dropped_ = 0;
};

}  // namespace korvel::quor_impl
