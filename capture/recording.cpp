#include "capture/recording.hpp"

#include <algorithm>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

#include "capture/captured_sample.hpp"
#include "capture/column_builder.hpp"
#include "client/joint_group.hpp"
#include "stream/assembly.hpp"
#include "stream/record_fields.hpp"
#include "zenoh/ext/deserializer.hpp"

namespace korvel::quor_impl {

namespace {

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

// Columns hold doubles where the payload holds floats, and one joint may sit in several
// overlapping groups (ALL, ARMS, ARM_1): a layout that belongs to its samples never needs
// more than a small multiple of the payload bytes. Anything beyond is refused before any
// column is sized.
void CheckColumnsFit(const RecordedStream& r, const ClientLayout& layout, std::size_t fields) {
  constexpr std::uint64_t kFactor = 64;
  constexpr std::uint64_t kSlack = std::uint64_t{1} << 24;
  std::uint64_t width = 0;
  for (const auto& [g, name] : layout.group_names) {
    const auto d = layout.dofs.find(g);
    if (d != layout.dofs.end()) width += d->second;
  }
  const std::uint64_t budget = kSlack + kFactor * static_cast<std::uint64_t>(r.data.size());
  const std::uint64_t rows = r.seq.size();
  // width < 6 * 2^32 and fields <= 9, so the product below cannot wrap before the division.
  if (rows != 0 && width * fields * sizeof(double) > budget / rows) {
    throw std::invalid_argument("recorded layout: joint groups of " + std::to_string(width) +
                                " joints in all make "
                                "columns far larger than the " +
                                std::to_string(rows) + " recorded samples (" +
                                std::to_string(r.data.size()) +
                                " bytes) could fill; the layout does not belong to "
                                "these samples");
  }
}

// The joint fields of stream S's records: a joint's columns per row.
template <Stream S>
constexpr std::size_t JointFields() {
  std::size_t n = 0;
  ForEachField(FieldsOf<typename StreamTraits<S>::Record>(), [&](const auto& field) {
    n += std::decay_t<decltype(field)>::kKind == FieldKind::kJoint;
  });
  return n;
}

}  // namespace

template <Stream S>
BatchOf<S> RecordingDecoder<S>::Decode(const RecordedStream& r, const ClientLayout& layout) {
  using Message = MessageOf<S>;
  Check(r);
  CheckRecordedLayout(layout);
  CheckColumnsFit(r, layout, JointFields<S>());
  BatchOf<S> batch;
  std::vector<CapturedSample<Message>> chunk(kChunk);
  const std::size_t n = r.seq.size();
  ReserveRows(n, layout, batch);
  for (std::size_t first = 0; first < n; first += kChunk) {
    const std::size_t count = std::min(kChunk, n - first);
    for (std::size_t k = 0; k < count; ++k) {
      const std::size_t i = first + k;
      CapturedSample<Message>& s = chunk[k];
      const zenoh::ByteView payload = r.data.subspan(r.offsets[i], r.offsets[i + 1] - r.offsets[i]);
      s.seq = r.seq[i];
      s.time = {r.receive_time_ns[i], r.receive_mono_ns.empty() ? 0 : r.receive_mono_ns[i]};
      s.size = static_cast<std::uint32_t>(payload.size());
      s.robot_time = r.robot_time.empty() ? std::pair<std::int32_t, std::int32_t>{0, 0}
                                          : std::pair<std::int32_t, std::int32_t>{
                                                r.robot_time[2 * i], r.robot_time[2 * i + 1]};
      s.reason.clear();
      try {
        zenoh::ext::deserialize_into(payload, s.message);
        s.decoded = true;
      } catch (const std::exception& e) {
        s.decoded = false;
        s.reason = e.what();
      }
      if constexpr (S == Stream::Basic) {
        if (s.decoded) s.robot_time = StampFromWire(s.message.timestamp);
      }
    }
    Append<S>(chunk, count, layout, false, batch);
  }
  return batch;
}

template struct RecordingDecoder<Stream::Basic>;
template struct RecordingDecoder<Stream::Extra>;

void CheckRecordedLayout(const ClientLayout& layout) {
  constexpr std::uint64_t kLimit = std::uint64_t{1} << 32;
  const auto fail = [](const std::string& what) {
    throw std::invalid_argument("recorded layout: " + what);
  };
  const auto group = [](quor::JointGroup g) { return std::to_string(static_cast<int>(g)); };
  if (layout.joint_count >= kLimit) {
    fail("joint_count " + std::to_string(layout.joint_count) + " is not below 2^32");
  }
  for (const auto& [g, dof] : layout.dofs) {
    if (dof >= kLimit) {
      fail("DoF " + std::to_string(dof) + " of joint group " + group(g) + " is not below 2^32");
    }
  }
  for (const auto& [g, name] : layout.group_names) {
    const auto known = quor::kJointGroupNames.find(g);
    if (g == quor::JointGroup::UNKNOWN || known == quor::kJointGroupNames.end()) {
      fail("joint group " + group(g) + " is named '" + name +
           "', but the robot does not have joint group " + group(g));
    }
    if (name != known->second) {
      fail("joint group " + group(g) + " is named '" + name + "', not '" + known->second + "'");
    }
    const auto start = layout.start_ids.find(g);
    const auto dof = layout.dofs.find(g);
    if (start == layout.start_ids.end() || dof == layout.dofs.end()) continue;
    // Both below 2^32: the sum cannot wrap.
    if (std::uint64_t{start->second} + dof->second > layout.joint_count) {
      fail("joint group " + group(g) + " starts at " + std::to_string(start->second) + " with " +
           std::to_string(dof->second) + " joints, beyond the joint count " +
           std::to_string(layout.joint_count));
    }
  }
}

}  // namespace korvel::quor_impl
