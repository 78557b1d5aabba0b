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
#include "msgs/held_storage.hpp"

namespace korvel::quor_impl {

template <class Message>
class SampleRing {
 public:
  using Sample = CapturedSample<Message>;

  // At most `capacity` samples and, beyond the newest one, `max_bytes` of their storage:
  // samples far larger than the robot's (a flood of huge ones decodes like any other) cannot
  // make the ring hold more memory than that. Without `keep_messages` a slot holds only
  // whether its sample decoded, not the decoded message.
  SampleRing(std::size_t capacity, bool keep_payloads, std::size_t max_bytes,
             bool keep_messages = true)
      : slots_(capacity),
        held_(capacity, 0),
        keep_payloads_(keep_payloads),
        keep_messages_(keep_messages),
        max_bytes_(max_bytes) {}

  std::size_t capacity() const noexcept { return slots_.size(); }
  std::size_t size() const noexcept { return count_; }
  std::uint64_t dropped() const noexcept { return dropped_; }
  std::size_t held_bytes() const noexcept { return held_bytes_; }

  void Push(const SampleTime& time, zenoh::ByteView payload, const Message* decoded,
            std::pair<std::int32_t, std::int32_t> robot_time) {
    if (count_ == slots_.size()) DropOldest();
    const std::size_t at = (head_ + count_) % slots_.size();
    Sample& slot = slots_[at];
    ++count_;
    slot.seq = next_seq_++;
    slot.time = time;
    slot.decoded = decoded != nullptr;
    slot.size = static_cast<std::uint32_t>(payload.size());
    slot.robot_time = decoded != nullptr ? robot_time : std::pair<std::int32_t, std::int32_t>{};
    // Reuses the slot's list storage, unless an earlier huge sample left too much of it.
    if (decoded != nullptr && keep_messages_) {
      zenoh_msgs::quor_msg::CopyTrimmed(*decoded, slot.message);
    }
    if (keep_payloads_) {
      if (slot.payload.capacity() > zenoh_msgs::quor_msg::kKeptStorageBytes &&
          slot.payload.capacity() > 2 * payload.size()) {
        slot.payload = {};
      }
      slot.payload.assign(payload.begin(), payload.end());
    }
    held_[at] = Bytes(slot);
    held_bytes_ += held_[at];
    while (held_bytes_ > max_bytes_ && count_ > 1) DropOldest();
  }

  // Moves up to `n` of the oldest samples to out[used...], growing `out` as needed; the
  // slots get the spare samples that were there. Returns how many were taken.
  std::size_t Take(std::size_t n, std::vector<Sample>& out, std::size_t& used) {
    n = std::min(n, count_);
    if (out.size() < used + n) out.resize(used + n);
    for (std::size_t i = 0; i < n; ++i) {
      held_bytes_ -= std::exchange(held_[head_], 0);
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

  static std::size_t Bytes(const Sample& s) {
    return (s.decoded ? zenoh_msgs::quor_msg::HeldBytes(s.message) : 0) + s.payload.capacity();
  }

  // The oldest sample goes unseen, counted; its storage goes with it if it is large.
  void DropOldest() {
    held_bytes_ -= std::exchange(held_[head_], 0);
    zenoh_msgs::quor_msg::TrimStorage(slots_[head_].message);
    if (slots_[head_].payload.capacity() > zenoh_msgs::quor_msg::kKeptStorageBytes) {
      slots_[head_].payload = {};
    }
    head_ = Next(head_);
    --count_;
    ++dropped_;
  }

  std::vector<Sample> slots_;
  std::vector<std::size_t> held_;  // storage bytes of each pending sample
  std::size_t held_bytes_ = 0;
  bool keep_payloads_;
  bool keep_messages_;
  std::size_t max_bytes_;
  std::size_t head_ = 0;  // oldest sample
  std::size_t count_ = 0;
  std::uint64_t next_seq_ = 0;
  std::uint64_t dropped_ = 0;
};

}  // namespace korvel::quor_impl
