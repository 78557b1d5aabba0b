#include "capture/recording.hpp"

#include <algorithm>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

#include "capture/captured_sample.hpp"
#include "capture/column_builder.hpp"
#include "stream/assembly.hpp"
#include "zenoh/ext/deserializer.hpp"

namespace korvel::quor_impl {

namespace {

using zenoh_msgs::quor_msg::AllBasicStreamData;
using zenoh_msgs::quor_msg::AllExtraStreamData;

// Decoded a chunk at a time, so a long recording never holds more than one chunk of
// messages besides its columns.
constexpr std::size_t kChunk = 1024;

void Check(const RecordedStream& r) {
  const std::size_t n = r.seq.size();
  const auto fail = [&](const std::string& what) {
    throw std::invalid_argument("recorded stream of " + std::to_string(n) + " samples: " + what);
  };
  if (r.offsets.size() != n + 1) fail("offsets must hold one more entry than seq");
  if (r.receive_time_ns.size() != n) fail("receive_time_ns must hold one entry per sample");
  if (!r.receive_mono_ns.empty() && r.receive_mono_ns.size() != n) {
    fail("receive_mono_ns must be empty or hold one entry per sample");
  }
  if (!r.robot_time.empty() && r.robot_time.size() != 2 * n) {
    fail("robot_time must be empty or hold two words per sample");
  }
  for (std::size_t i = 0; i < n; ++i) {
    if (r.offsets[i] > r.offsets[i + 1] || r.offsets[i + 1] > r.data.size()) {
      fail("offsets must rise and stay within the data");
    }
  }
}

template <class Message, class Batch, class Append>
Batch Decode(const RecordedStream& r, const ClientLayout& layout, Append append) {
  Check(r);
  Batch batch;
  std::vector<CapturedSample<Message>> chunk(kChunk);
  const std::size_t n = r.seq.size();
  for (std::size_t first = 0; first < n; first += kChunk) {
    const std::size_t count = std::min(kChunk, n - first);
    for (std::size_t k = 0; k < count; ++k) {
      const std::size_t i = first + k;
      CapturedSample<Message>& s = chunk[k];
      const zenoh::ByteView payload =
          r.data.subspan(r.offsets[i], r.offsets[i + 1] - r.offsets[i]);
      s.seq = r.seq[i];
      s.time = {r.receive_time_ns[i], r.receive_mono_ns.empty() ? 0 : r.receive_mono_ns[i]};
      s.size = static_cast<std::uint32_t>(payload.size());
      s.robot_time = r.robot_time.empty()
                         ? std::pair<std::int32_t, std::int32_t>{0, 0}
                         : std::pair<std::int32_t, std::int32_t>{r.robot_time[2 * i],
                                                                 r.robot_time[2 * i + 1]};
      s.reason.clear();
      try {
        zenoh::ext::deserialize_into(payload, s.message);
        s.decoded = true;
      } catch (const std::exception& e) {
        s.decoded = false;
        s.reason = e.what();
      }
      if constexpr (std::is_same_v<Message, AllBasicStreamData>) {
        if (s.decoded) s.robot_time = StampFromWire(s.message.timestamp);
      }
    }
    append(chunk, count, layout, false, batch);
  }
  return batch;
}

}  // namespace

quor::BasicBatch DecodeBasicRecording(const RecordedStream& recorded, const ClientLayout& layout) {
  return Decode<AllBasicStreamData, quor::BasicBatch>(recorded, layout, AppendBasic);
}

quor::ExtraBatch DecodeExtraRecording(const RecordedStream& recorded, const ClientLayout& layout) {
  return Decode<AllExtraStreamData, quor::ExtraBatch>(recorded, layout, AppendExtra);
}

}  // namespace korvel::quor_impl
