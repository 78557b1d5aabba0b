#pragma once
// Recorded payloads of one stream, decoded into the same columns a live capture gives: the
// same decoder, the same assembly by the layout the client learnt when it recorded.

#include <cstddef>
#include <cstdint>
#include <span>

#include "capture/column_builder.hpp"
#include "capture/columns.hpp"
#include "client/client_access.hpp"

namespace korvel::quor_impl {

// N samples in arrival order. Payload i is data[offsets[i], offsets[i + 1]).
struct RecordedStream {
  std::span<const std::uint8_t> data;
  std::span<const std::uint64_t> offsets;         // N + 1
  std::span<const std::uint64_t> seq;             // N
  std::span<const std::int64_t> receive_time_ns;  // N
  std::span<const std::int64_t> receive_mono_ns;  // N, or empty (then 0)
  // N x 2: the robot timestamp recorded with each sample. Used for the extra stream, which
  // carries none; basic samples take theirs from the payload. Empty: (0, 0).
  std::span<const std::int32_t> robot_time;
};

// A layout read from a file, which anyone may hand over, checked as the client checks the
// start-ID reply: DoF and start IDs below 2^32, joint_count below 2^32, named groups only
// those of the name table under their own names, and each named group's start + DoF within
// joint_count. Throws std::invalid_argument naming the first value that fails.
void CheckRecordedLayout(const ClientLayout& layout);

// Throws std::invalid_argument when the spans do not describe N samples, when the layout
// fails CheckRecordedLayout, or when its groups would make columns far larger than the
// recorded samples could fill (a layout that does not belong to the samples).
// (A class, so that the exported names of both streams' decoders start with korvel::.)
template <Stream S>
struct RecordingDecoder {
  static BatchOf<S> Decode(const RecordedStream& recorded, const ClientLayout& layout);
};

}  // namespace korvel::quor_impl
