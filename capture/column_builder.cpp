#include "capture/column_builder.hpp"

#include <algorithm>
#include <array>
#include <limits>
#include <utility>
#include <stdexcept>
#include <string>

#include "stream/assembly.hpp"
#include "stream/record_fields.hpp"

namespace korvel::quor_impl {

using quor::JointGroup;
using zenoh_msgs::quor_msg::AllBasicStreamData;
using zenoh_msgs::quor_msg::AllExtraStreamData;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Row `row` of a field `width` values wide: the values, or NaN when the sample gave none.
template <class Values>
void PutRow(std::vector<double>& column, std::size_t row, std::size_t width, const Values* values) {
  double* at = column.data() + row * width;
  if (values == nullptr) {
    std::fill(at, at + width, kNaN);
  } else {
    std::copy_n(values->begin(), width, at);
  }
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

// The groups states()/actions() answer with for these samples: the named ones, with their
// joint values, and every group a fitting sample's message names, which gets its Cartesian
// values only (a client that connected while the robot was silent names none). `fits[i]`
// tells whether sample i decoded and fitted the layout.
template <class Message, class Fit>
std::vector<std::pair<JointGroup, std::size_t>> GroupsOf(
    const std::vector<CapturedSample<Message>>& samples, std::size_t n, const ClientLayout& layout,
    Fit fit, std::vector<std::uint8_t>& fits) {
  std::vector<std::pair<JointGroup, std::size_t>> groups;  // (group, joint width)
  const auto add = [&](JointGroup g) {
    for (const auto& [seen, width] : groups) {
      if (seen == g) return;
    }
    std::size_t width = 0;
    if (layout.group_names.contains(g)) {
      const auto dof = layout.dofs.find(g);
      width = dof != layout.dofs.end() ? dof->second : 0;
    }
    groups.emplace_back(g, width);
  };
  for (const auto& [g, name] : layout.group_names) add(g);
  fits.assign(n, 0);
  for (std::size_t i = 0; i < n; ++i) {
    const auto& s = samples[i];
    if (!s.decoded || !fit(s.message)) continue;
    fits[i] = 1;
    for (const std::uint16_t index : s.message.joint_group_indices) {
      add(static_cast<JointGroup>(index));
    }
  }
  return groups;
}

template <class Message>
void AppendCommon(const CapturedSample<Message>& s, bool keep_raw, quor::StreamRows& out) {
  if (keep_raw) {
    auto& raw = out.raw;
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
  return static_cast<std::size_t>(
      std::count_if(samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(n),
                    [](const auto& s) { return s.decoded; }));
}

}  // namespace

void AppendBasic(const std::vector<CapturedSample<AllBasicStreamData>>& samples, std::size_t n,
                 const ClientLayout& layout, bool keep_raw, quor::BasicBatch& out) {
  const std::size_t first = out.rows;
  const std::size_t rows = first + CountDecoded(samples, n);
  // Checked before assembling so that a sample that does not fit leaves no error line per row.
  std::vector<std::uint8_t> fits;
  const auto groups = GroupsOf(samples, n, layout, [&](const AllBasicStreamData& m) {
    return StatesFitLayout(m, layout.group_names, layout.start_ids, layout.dofs,
                           layout.joint_count);
  }, fits);
  for (const auto& [g, width] : groups) {
    quor::StateColumns& c = out.groups[g];
    c.dof = width;
    ForEachPair(fields::kStates, quor::StateColumns::Fields(),
                [&](const auto& field, auto column) { Size(rows, field.Width(c.dof), c.*column); });
  }

  std::size_t row = first;
  for (std::size_t i = 0; i < n; ++i) {
    const auto& s = samples[i];
    AppendCommon(s, keep_raw, out);
    if (!s.decoded) continue;
    const AllBasicStreamData& m = s.message;
    out.system_state.push_back(m.system_state);
    out.safety_board_state.push_back(m.safety_board_state);
    out.estop_released.push_back(m.estop_released ? 1 : 0);
    out.enabling_device_on.push_back(m.enabling_device_on ? 1 : 0);
    AppendFlags(out.safety_inputs, m.safety_inputs);
    AppendFlags(out.digital_inputs, m.digital_inputs);
    AppendFlags(out.digital_outputs, m.digital_outputs);

    out.layout_ok.push_back(fits[i]);
    std::map<JointGroup, quor::RobotStates> states;
    if (fits[i] != 0) {
      states = AssembleRobotStates(m, layout.group_names, layout.start_ids, layout.dofs,
                                   layout.joint_count);
    }
    for (auto& [g, c] : out.groups) {
      const auto found = states.find(g);
      const quor::RobotStates* r = found != states.end() ? &found->second : nullptr;
      ForEachPair(fields::kStates, quor::StateColumns::Fields(), [&](const auto& field, auto column) {
        PutRow(c.*column, row, field.Width(c.dof), r ? &(r->*field.member) : nullptr);
      });
    }
    ++row;
  }
  out.rows = rows;
}

void AppendExtra(const std::vector<CapturedSample<AllExtraStreamData>>& samples, std::size_t n,
                 const ClientLayout& layout, bool keep_raw, quor::ExtraBatch& out) {
  const std::size_t first = out.rows;
  const std::size_t rows = first + CountDecoded(samples, n);
  std::vector<std::uint8_t> fits;
  const auto groups = GroupsOf(samples, n, layout, [&](const AllExtraStreamData& m) {
    return ActionsFitLayout(m, layout.group_names, layout.start_ids, layout.dofs,
                            layout.extra_joint_count.value_or(0));
  }, fits);
  for (const auto& [g, width] : groups) {
    quor::ActionColumns& c = out.groups[g];
    c.dof = width;
    ForEachPair(fields::kActions, quor::ActionColumns::Fields(),
                [&](const auto& field, auto column) { Size(rows, field.Width(c.dof), c.*column); });
  }

  std::size_t row = first;
  for (std::size_t i = 0; i < n; ++i) {
    const auto& s = samples[i];
    AppendCommon(s, keep_raw, out);
    if (!s.decoded) continue;
    const AllExtraStreamData& m = s.message;
    out.layout_ok.push_back(fits[i]);
    std::map<JointGroup, quor::RobotActions> actions;
    if (fits[i] != 0) {
      actions = AssembleRobotActions(s.robot_time, m, layout.group_names, layout.start_ids,
                                     layout.dofs, layout.extra_joint_count.value_or(0));
    }
    for (auto& [g, c] : out.groups) {
      const auto found = actions.find(g);
      const quor::RobotActions* a = found != actions.end() ? &found->second : nullptr;
      ForEachPair(fields::kActions, quor::ActionColumns::Fields(), [&](const auto& field, auto column) {
        PutRow(c.*column, row, field.Width(c.dof), a ? &(a->*field.member) : nullptr);
      });
    }
    ++row;
  }
  out.rows = rows;
}

}  // namespace korvel::quor_impl
