#pragma once
// One sample as a capture keeps it until it is drained: its sequence number, arrival time,
// the decoded message (copied from the subscription's own decode) and, if asked, the bytes.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "stream/stream_monitor.hpp"

namespace korvel::quor_impl {

template <class Message>
struct CapturedSample {
  std::uint64_t seq = 0;
  SampleTime time;
  std::pair<std::int32_t, std::int32_t> robot_time{0, 0};
  bool decoded = false;
  std::uint32_t size = 0;             // payload bytes
  Message message{};                  // valid when decoded
  std::vector<std::uint8_t> payload;  // kept only when the capture keeps payloads
  std::string reason;                 // why it did not decode; set only when decoding a recording
};

}  // namespace korvel::quor_impl
