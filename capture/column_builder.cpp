#include "capture/column_builder.hpp"

#include <algorithm>
#include <array>
#include <limits>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>

#include "stream/assembly.hpp"
#include "stream/record_fields.hpp"

namespace korvel::quor_impl {

using quor::JointGroup;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Row `row` of a field `width` values wide.
template <class Values>
void PutRow(std::vector<double>& column, std::size_t row, std::size_t width, const Values* values) {
  std::copy_n(values->begin(), width, column.data() + row * width);
}

void Size(std::size_t rows, std::size_t width, std::vector<double>& column) {
  std::size_t values = 0;
  if (__builtin_mul_overflow(rows, width, &values)) {
    throw std::length_error("columns of " + std::to_string(rows) + " rows of " +
                            std::to_string(width) + " values do not fit in memory");
  }
  // Rows before a group's first appearance in a batch hold NaN, like rows that did not fit.
  column.resize(values, kNaN);
}

template <class Message>
void AppendRaw(const CapturedSample<Message>& s, quor::RawSamples& raw) {
  if (raw.offsets.empty()) raw.offsets.push_back(0);
  raw.seq.push_back(s.seq);
  raw.receive_time_ns.push_back(s.time.system_ns);
  raw.receive_mono_ns.push_back(s.time.steady_ns);
  raw.robot_time.push_back(s.robot_time.first);
  raw.robot_time.push_back(s.robot_time.second);
  raw.decoded.push_back(s.decoded ? 1 : 0);
  raw.data.insert(raw.data.end(), s.payload.begin(), s.payload.end());
  raw.offsets.push_back(raw.data.size());
}

template <class Message>
void AppendCommon(const CapturedSample<Message>& s, bool keep_raw, quor::StreamRows& out) {
  if (keep_raw) AppendRaw(s, out.raw);
  if (!s.decoded) {
    out.undecodable_seq.push_back(s.seq);
    out.undecodable_size.push_back(s.size);
    if (!s.reason.empty()) out.undecodable_reason.push_back(s.reason);
    return;
  }
  out.seq.push_back(s.seq);
  out.robot_time.push_back(s.robot_time.first);
  out.robot_time.push_back(s.robot_time.second);
  out.receive_time_ns.push_back(s.time.system_ns);
  out.receive_mono_ns.push_back(s.time.steady_ns);
}

template <std::size_t N>
void AppendFlags(std::vector<std::uint8_t>& column, const std::array<bool, N>& flags) {
  for (const bool f : flags) column.push_back(f ? 1 : 0);
}

template <class Message>
std::size_t CountDecoded(const std::vector<CapturedSample<Message>>& samples, std::size_t n) {
  return static_cast<std::size_t>(std::count_if(samples.begin(),
                                                samples.begin() + static_cast<std::ptrdiff_t>(n),
                                                [](const auto& s) { return s.decoded; }));
}

// The basic stream's own columns: system state, safety and I/O flags.
void AppendStatus(const MessageOf<Stream::Basic>& m, quor::BasicBatch& out) {
  out.system_state.push_back(m.system_state);
  out.safety_board_state.push_back(m.safety_board_state);
  out.estop_released.push_back(m.estop_released ? 1 : 0);
  out.enabling_device_on.push_back(m.enabling_device_on ? 1 : 0);
  AppendFlags(out.safety_inputs, m.safety_inputs);
  AppendFlags(out.digital_inputs, m.digital_inputs);
  AppendFlags(out.digital_outputs, m.digital_outputs);
}

template <class Field>
constexpr FieldKind kKindOf = std::decay_t<Field>::kKind;

// Writes row `row` of group g's columns as the assembly's record of g would hold it: joint
// fields cut from the full lists (groups of the layout only), Cartesian fields widened from
// the last entry naming g (zero when none does), the world-frame wrenches derived from
// those as the assembly derives them. Builds no record: this runs for every sample.
template <Stream S, class Columns>
void PutGroup(const MessageOf<S>& m, quor::JointGroup g, unsigned int start, std::size_t row,
              Columns& c) {
  using Record = typename StreamTraits<S>::Record;
  const auto& table = FieldsOf<Record>();
  constexpr auto kColumns = Columns::Fields();
  const auto& indices = m.joint_group_indices;
  const typename decltype(m.cartesian_data)::value_type* entry = nullptr;
  for (std::size_t i = indices.size(); i-- > 0;) {
    if (static_cast<quor::JointGroup>(indices[i]) == g) {
      entry = &m.cartesian_data[i];
      break;
    }
  }
  // Only fixed-size arrays: no allocation.
  Record fixed{};
  if (entry != nullptr) {
    ForEachField(table, [&](const auto& field) {
      if constexpr (kKindOf<decltype(field)> == FieldKind::kCartesian) {
        const auto& from = entry->*field.wire;
        auto& to = fixed.*field.member;
        for (std::size_t j = 0; j < from.size(); ++j) to[j] = static_cast<double>(from[j]);
      }
    });
    if constexpr (S == Stream::Basic) SetExtWrenchInWorld(fixed);
  }
  ForEachPair(table, kColumns, [&](const auto& field, auto column) {
    if constexpr (kKindOf<decltype(field)> == FieldKind::kJoint) {
      if (c.dof == 0) return;
      const float* from = (m.joint_data.*field.wire).data() + start;
      double* to = (c.*column).data() + row * c.dof;
      for (std::size_t j = 0; j < c.dof; ++j) to[j] = static_cast<double>(from[j]);
    } else {
      PutRow(c.*column, row, field.Width(c.dof), &(fixed.*field.member));
    }
  });
}

}  // namespace

template <Stream S>
void Append(const std::vector<CapturedSample<MessageOf<S>>>& samples, std::size_t n,
            const ClientLayout& layout, bool keep_raw, BatchOf<S>& out) {
  const auto& table = FieldsOf<typename StreamTraits<S>::Record>();
  constexpr auto kColumns = ColumnsOf<S>::Fields();
  // Each stream is checked against its own length, as states() and actions() check it.
  const std::size_t joint_count =
      S == Stream::Basic ? layout.joint_count : layout.extra_joint_count.value_or(0);
  const std::size_t rows = out.rows + CountDecoded(samples, n);
  const auto size = [&](ColumnsOf<S>& c) {
    ForEachPair(table, kColumns,
                [&](const auto& field, auto column) { Size(rows, field.Width(c.dof), c.*column); });
  };
  // A group's columns: those of every group seen before and every named group get all rows
  // at once; a group first named by a fitting sample gets them then. Rows a group's sample
  // did not give hold NaN.
  const auto open = [&](JointGroup g) -> ColumnsOf<S>& {
    const auto [at, added] = out.groups.try_emplace(g);
    if (added) {
      const auto dof = layout.group_names.contains(g) ? layout.dofs.find(g) : layout.dofs.end();
      at->second.dof = dof != layout.dofs.end() ? dof->second : 0;
      size(at->second);
    }
    return at->second;
  };
  for (auto& [g, c] : out.groups) size(c);
  for (const auto& [g, name] : layout.group_names) open(g);

  std::size_t row = out.rows;
  for (std::size_t i = 0; i < n; ++i) {
    const auto& s = samples[i];
    AppendCommon(s, keep_raw, out);
    if (!s.decoded) continue;
    if constexpr (S == Stream::Basic) AppendStatus(s.message, out);
    // A sample that does not fit the layout leaves no error line per row: the rows of its
    // groups stay NaN and layout_ok says why.
    const auto& m = s.message;
    const bool fits =
        AssemblyError(m, layout.group_names, layout.start_ids, layout.dofs, joint_count).empty();
    out.layout_ok.push_back(fits ? 1 : 0);
    if (fits) {
      // The layout's groups, then those only the message names (their Cartesian values).
      for (const auto& [g, name] : layout.group_names) {
        PutGroup<S>(m, g, layout.start_ids.find(g)->second, row, open(g));
      }
      const auto& indices = m.joint_group_indices;
      for (std::size_t i = 0; i < indices.size(); ++i) {
        const auto g = static_cast<JointGroup>(indices[i]);
        const bool seen =
            std::find(indices.begin(), indices.begin() + static_cast<std::ptrdiff_t>(i),
                      indices[i]) != indices.begin() + static_cast<std::ptrdiff_t>(i);
        if (!seen && !layout.group_names.contains(g)) PutGroup<S>(m, g, 0, row, open(g));
      }
    }
    ++row;
  }
  out.rows = rows;
}

template <Stream S>
void AppendPayloads(const std::vector<CapturedSample<MessageOf<S>>>& samples, std::size_t n,
                    BatchOf<S>& out) {
  for (std::size_t i = 0; i < n; ++i) AppendRaw(samples[i], out.raw);
}

namespace {

template <Stream S>
void Reserve(std::size_t rows, const ClientLayout& layout, BatchOf<S>& out) {
  const auto& table = FieldsOf<typename StreamTraits<S>::Record>();
  constexpr auto kColumns = ColumnsOf<S>::Fields();
  // Without rows to come a batch keeps no groups, as Append leaves it.
  if (rows == 0) return;
  const std::size_t total = out.rows + rows;
  const auto room = [&](auto& column, std::size_t width) {
    std::size_t values = 0;
    if (__builtin_mul_overflow(total, width, &values)) {
      throw std::length_error("columns of " + std::to_string(total) + " rows of " +
                              std::to_string(width) + " values do not fit in memory");
    }
    column.reserve(values);
  };
  room(out.seq, 1);
  room(out.robot_time, 2);
  room(out.receive_time_ns, 1);
  room(out.receive_mono_ns, 1);
  room(out.layout_ok, 1);
  if constexpr (S == Stream::Basic) {
    room(out.system_state, 1);
    room(out.safety_board_state, 1);
    room(out.estop_released, 1);
    room(out.enabling_device_on, 1);
    room(out.safety_inputs, 8);
    room(out.digital_inputs, 20);
    room(out.digital_outputs, 20);
  }
  for (const auto& [g, name] : layout.group_names) {
    // Opened as Append opens a group of the layout, which sizes it before any row.
    const auto [at, added] = out.groups.try_emplace(g);
    if (added) {
      const auto dof = layout.dofs.find(g);
      at->second.dof = dof != layout.dofs.end() ? dof->second : 0;
    }
    auto& group = at->second;  // a binding no lambda may capture before C++20 in clang
    ForEachPair(table, kColumns, [&](const auto& field, auto column) {
      room(group.*column, field.Width(group.dof));
    });
  }
}

}  // namespace

void ReserveRows(std::size_t rows, const ClientLayout& layout, quor::BasicBatch& out) {
  Reserve<Stream::Basic>(rows, layout, out);
}

void ReserveRows(std::size_t rows, const ClientLayout& layout, quor::ExtraBatch& out) {
  Reserve<Stream::Extra>(rows, layout, out);
}

template void Append<Stream::Basic>(const std::vector<CapturedSample<MessageOf<Stream::Basic>>>&,
                                    std::size_t, const ClientLayout&, bool, quor::BasicBatch&);
template void Append<Stream::Extra>(const std::vector<CapturedSample<MessageOf<Stream::Extra>>>&,
                                    std::size_t, const ClientLayout&, bool, quor::ExtraBatch&);
template void AppendPayloads<Stream::Basic>(
    const std::vector<CapturedSample<MessageOf<Stream::Basic>>>&, std::size_t, quor::BasicBatch&);
template void AppendPayloads<Stream::Extra>(
    const std::vector<CapturedSample<MessageOf<Stream::Extra>>>&, std::size_t, quor::ExtraBatch&);

}  // namespace korvel::quor_impl
