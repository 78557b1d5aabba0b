#pragma once
// The receiving end of a Capture: a sink on the client's stream monitor holding one ring per
// stream under one lock, and the storage its reader swaps samples out into.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <tuple>
#include <utility>
#include <vector>

#include "capture/column_builder.hpp"
#include "capture/sample_ring.hpp"
#include "client/client_access.hpp"
#include "stream/stream_monitor.hpp"

namespace korvel::quor_impl {

class CaptureCore : public StreamSink {
 public:
  // `columns` false: drains give only the raw samples (CaptureOptions::columns).
  CaptureCore(ClientLayout layout, std::size_t capacity, bool keep_payloads, std::size_t max_bytes,
              bool columns = true);

  void OnSample(const SampleTime& time, zenoh::ByteView payload,
                const MessageOf<Stream::Basic>* decoded) noexcept override;
  void OnSample(const SampleTime& time, zenoh::ByteView payload,
                const MessageOf<Stream::Extra>* decoded) noexcept override;
  void OnDetached() noexcept override;

  bool Wait(std::chrono::nanoseconds timeout);
  std::size_t Pending() const;
  std::uint64_t Dropped(Stream stream) const;
  bool Receiving() const;
  void Stop();
  // What the client knew when this core was attached to its monitor (read after attaching,
  // so that no sample falls between): a basic sample seen meanwhile is newer and wins.
  void Seed(std::pair<std::int32_t, std::int32_t> basic_stamp,
            std::optional<std::size_t> extra_joint_count);

  // Takes everything pending when called and turns it into columns. One reader at a time.
  quor::CaptureBatch Drain();

 private:
  // Samples are taken in chunks, so a delivering thread waits at most for one chunk's swaps.
  static constexpr std::size_t kChunk = 256;

  // One stream's samples: the ring under the lock, and the reader's side, filled by
  // swapping with ring slots and reused from drain to drain.
  template <Stream S>
  struct Lane {
    Lane(std::size_t capacity, bool keep_payloads, std::size_t max_bytes, bool keep_messages)
        : ring(capacity, keep_payloads, max_bytes, keep_messages) {}
    SampleRing<MessageOf<S>> ring;
    std::uint64_t dropped_seen = 0;  // ring.dropped() at the previous drain
    std::vector<CapturedSample<MessageOf<S>>> taken;
    std::size_t used = 0;       // samples in `taken` from the current drain
    std::uint64_t dropped = 0;  // dropped since the previous drain, as of the current one
  };

  template <Stream S>
  void Receive(const SampleTime& time, zenoh::ByteView payload,
               const MessageOf<S>* decoded) noexcept;
  template <Stream S>
  Lane<S>& lane() {
    return std::get<static_cast<std::size_t>(S)>(lanes_);
  }
  template <Stream S>
  const Lane<S>& lane() const {
    return std::get<static_cast<std::size_t>(S)>(lanes_);
  }
  std::size_t PendingLocked() const;

  // Read and written by the reader only, except extra_joint_count_ below.
  ClientLayout layout_;
  const bool keep_payloads_;
  const bool columns_;

  mutable std::mutex mutex_;
  std::condition_variable pending_;
  std::tuple<Lane<Stream::Basic>, Lane<Stream::Extra>> lanes_;
  // The client's latest basic stamp when the capture opened, then each decoded basic one:
  // extra rows are stamped as actions() stamps its records.
  std::pair<std::int32_t, std::int32_t> last_basic_stamp_{0, 0};
  bool basic_seen_ = false;
  // The extra stream's length as the client learns it: from the client when the capture
  // opens, else from the first extra sample (which is then the client's first too).
  std::optional<std::size_t> extra_joint_count_;
  bool receiving_ = true;
  bool detached_ = false;  // the client went away (rather than the capture being closed)
  std::size_t waiters_ = 0;
};

}  // namespace korvel::quor_impl
