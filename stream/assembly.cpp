#include "stream/assembly.hpp"

#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <type_traits>

#include <fmt/format.h>

#include "stream/assembly_segment.hpp"
#include "stream/record_fields.hpp"

namespace korvel::quor_impl {

using quor::JointGroup;
using zenoh_msgs::quor_msg::AllBasicStreamData;
using zenoh_msgs::quor_msg::AllExtraStreamData;

namespace {

// The robot's highest group index; anything above it is not a joint group at all.
constexpr std::uint16_t kMaxGroupIndex = 5;

int GroupNumber(JointGroup g) { return static_cast<int>(g); }

template <class T>
Assembled<T> Failed(std::string error) {
  return {T{}, std::move(error)};
}

// How the error lines name a stream's data.
template <Stream S>
struct Wording;
template <>
struct Wording<Stream::Basic> {
  static constexpr const char* kData = "data";
  static constexpr const char* kJoints = "full-DoF joint data";
  static constexpr const char* kLists = "";
};
template <>
struct Wording<Stream::Extra> {
  static constexpr const char* kData = "desired data";
  static constexpr const char* kJoints = "desired joint data";
  static constexpr const char* kLists = "desired ";
};

template <class Field>
constexpr FieldKind kKindOf = std::decay_t<Field>::kKind;

// A record's joint field, cut for one group (FitError checked that it fits); the other fields
// are not cut.
template <class Field, class JointData, class Record>
void Cut(const Field& field, const JointData& joints, unsigned int start, std::size_t dof,
         Record& to) {
  if constexpr (kKindOf<Field> == FieldKind::kJoint) {
    SegmentJointList(joints.*field.wire, start, dof, to.*field.member);
  }
}

// A record's Cartesian field, widened from the group's entry; the other fields are not.
template <class Field, class Entry, class Record>
void Widen(const Field& field, const Entry& from, Record& to) {
  if constexpr (kKindOf<Field> == FieldKind::kCartesian) {
    const auto& values = from.*field.wire;
    auto& widened = to.*field.member;
    for (std::size_t j = 0; j < values.size(); ++j) widened[j] = static_cast<double>(values[j]);
  }
}

// Start and DoF of a group, or the error line when either is missing.
std::string LookUpLayout(JointGroup g, const StartIds& start_ids, const Dofs& dofs,
                         unsigned int& start, std::size_t& dof) {
  const auto s = start_ids.find(g);
  const auto n = dofs.find(g);
  if (s == start_ids.end() || n == dofs.end()) {
    return fmt::format(
        "[korvel::quor::Client] Missing start ID or DoF metadata for joint group [{}]",
        GroupNumber(g));
  }
  start = s->second;
  dof = n->second;
  return {};
}

using Matrix3 = std::array<std::array<double, 3>, 3>;

// Rotates elements [offset, offset + 3) of `local` into the same elements of `world`.
void Rotate(const Matrix3& r, const std::array<double, 6>& local, std::array<double, 6>& world,
            std::size_t offset) {
  const double x = local[offset];
  const double y = local[offset + 1];
  const double z = local[offset + 2];
  for (std::size_t row = 0; row < 3; ++row) {
    world[offset + row] = r[row][0] * x + r[row][1] * y + r[row][2] * z;
  }
}

// Why a message cannot be assembled with this layout (the line to log), or empty when it can:
// the checks in the order the assembly meets them. `fits_group(g, start, dof)` is called for
// each group of the layout once its lists proved long enough, so that the assembly cuts them
// in the same pass.
template <Stream S, class OnFit>
std::string FitError(const MessageOf<S>& msg, const GroupNames& group_names,
                     const StartIds& start_ids, const Dofs& dofs, std::size_t joint_count,
                     OnFit&& fits_group) {
  const auto& table = FieldsOf<typename StreamTraits<S>::Record>();
  const std::size_t k = msg.joint_group_indices.size();
  const std::size_t c = msg.cartesian_data.size();
  if (k != c) {
    return fmt::format(
        "[korvel::quor::Client] The received {} has mismatched sizes: cartesian_data size is "
        "{}, expected number of joint groups is {}",
        Wording<S>::kData, c, k);
  }
  for (const auto& entry : group_names) {
    const JointGroup g = entry.first;
    unsigned int s = 0;
    std::size_t n = 0;
    if (std::string error = LookUpLayout(g, start_ids, dofs, s, n); !error.empty()) return error;
    const bool fits = AllFields(table, [&](const auto& field) {
      if constexpr (kKindOf<decltype(field)> == FieldKind::kJoint) {
        return SegmentFits((msg.joint_data.*field.wire).size(), s, n);
      }
      return true;
    });
    if (!fits) {
      return fmt::format("[korvel::quor::Client] Failed to segment {} for joint group [{}]",
                         Wording<S>::kJoints, GroupNumber(g));
    }
    fits_group(g, s, n);
  }
  // The robot came back with another layout: its full lists no longer have their length.
  const std::size_t length = StreamTraits<S>::JointCount(msg);
  if (joint_count != 0 && length != joint_count) {
    return fmt::format(
        "[korvel::quor::Client] The robot's joint layout has changed: its {}joint lists hold {} "
        "joints, {} when this client connected; create a new client",
        Wording<S>::kLists, length, joint_count);
  }
  return {};
}

template <Stream S>
Assembled<std::map<JointGroup, typename StreamTraits<S>::Record>> AssembleGroups(
    const MessageOf<S>& msg, std::pair<std::int32_t, std::int32_t> stamp,
    const GroupNames& group_names, const StartIds& start_ids, const Dofs& dofs,
    std::size_t joint_count) {
  using Record = typename StreamTraits<S>::Record;
  using Result = std::map<JointGroup, Record>;
  const auto& table = FieldsOf<Record>();
  Result result;
  const auto cut = [&](JointGroup g, unsigned int s, std::size_t n) {
    Record& record = result.try_emplace(result.end(), g)->second;
    record.timestamp = stamp;
    ForEachField(table, [&](const auto& field) { Cut(field, msg.joint_data, s, n, record); });
  };
  if (std::string error = FitError<S>(msg, group_names, start_ids, dofs, joint_count, cut);
      !error.empty()) {
    return Failed<Result>(std::move(error));
  }
  // Groups the message names but group_names lacks still get their Cartesian data; a repeated
  // index overwrites the earlier position's values. The desired wrench is passed on in the
  // frame the robot sent it in; the measured ones are also given in the world frame.
  for (std::size_t i = 0; i < msg.joint_group_indices.size(); ++i) {
    const auto g = static_cast<JointGroup>(msg.joint_group_indices[i]);
    Record& record = result[g];
    ForEachField(table, [&](const auto& field) { Widen(field, msg.cartesian_data[i], record); });
    if constexpr (S == Stream::Basic) SetExtWrenchInWorld(record);
  }
  return {std::move(result), {}};
}

Assembled<MultiContactMap> AssembleMultiContact(const std::vector<std::array<float, 3>>& full,
                                                const char* what, const GroupNames& group_names,
                                                const StartIds& start_ids, const Dofs& dofs) {
  MultiContactMap result;
  for (const auto& entry : group_names) {
    const JointGroup g = entry.first;
    unsigned int start = 0;
    std::size_t dof = 0;
    if (std::string error = LookUpLayout(g, start_ids, dofs, start, dof); !error.empty()) {
      return Failed<MultiContactMap>(std::move(error));
    }
    std::vector<Eigen::Vector3d> contacts;
    if (!SegmentContactList(full, start, dof, contacts)) {
      return Failed<MultiContactMap>(fmt::format(
          "[korvel::quor::Client] Failed to segment multi-contact {} for joint group [{}]", what,
          GroupNumber(g)));
    }
    result.emplace_hint(result.end(), g, std::move(contacts));
  }
  return {std::move(result), {}};
}

}  // namespace

Assembled<GroupNames> JointGroupsFromIndices(const std::vector<std::uint16_t>& indices,
                                             Stream stream) {
  GroupNames result;
  for (const std::uint16_t index : indices) {
    if (index > kMaxGroupIndex) {
      return Failed<GroupNames>(fmt::format(
          "[korvel::quor::Client] The received {} data contains invalid joint group index [{}]",
          StreamName(stream), index));
    }
    const auto g = static_cast<JointGroup>(index);
    if (!result.contains(g)) {
      result.emplace(g, quor::kJointGroupNames.at(g));
    }
  }
  return {std::move(result), {}};
}

std::pair<std::int32_t, std::int32_t> StampFromWire(
    const std::pair<std::int32_t, std::uint32_t>& wire) {
  return {wire.first, std::bit_cast<std::int32_t>(wire.second)};
}

Assembled<std::map<JointGroup, quor::RobotStates>> AssembleRobotStates(
    const AllBasicStreamData& msg, const GroupNames& group_names, const StartIds& start_ids,
    const Dofs& dofs, std::size_t joint_count) {
  return AssembleGroups<Stream::Basic>(msg, StampFromWire(msg.timestamp), group_names, start_ids,
                                       dofs, joint_count);
}

Assembled<std::map<JointGroup, quor::RobotActions>> AssembleRobotActions(
    std::pair<std::int32_t, std::int32_t> timestamp, const AllExtraStreamData& msg,
    const GroupNames& group_names, const StartIds& start_ids, const Dofs& dofs,
    std::size_t joint_count) {
  return AssembleGroups<Stream::Extra>(msg, timestamp, group_names, start_ids, dofs, joint_count);
}

std::string AssemblyError(const AllBasicStreamData& msg, const GroupNames& group_names,
                          const StartIds& start_ids, const Dofs& dofs, std::size_t joint_count) {
  return FitError<Stream::Basic>(msg, group_names, start_ids, dofs, joint_count,
                                 [](JointGroup, unsigned int, std::size_t) {});
}

std::string AssemblyError(const AllExtraStreamData& msg, const GroupNames& group_names,
                          const StartIds& start_ids, const Dofs& dofs, std::size_t joint_count) {
  return FitError<Stream::Extra>(msg, group_names, start_ids, dofs, joint_count,
                                 [](JointGroup, unsigned int, std::size_t) {});
}

Assembled<MultiContactMap> AssembleMultiContactPositions(const AllBasicStreamData& msg,
                                                         const GroupNames& group_names,
                                                         const StartIds& start_ids,
                                                         const Dofs& dofs) {
  return AssembleMultiContact(msg.joint_data.contact_positions, "positions", group_names, start_ids,
                              dofs);
}

Assembled<MultiContactMap> AssembleMultiContactForces(const AllBasicStreamData& msg,
                                                      const GroupNames& group_names,
                                                      const StartIds& start_ids, const Dofs& dofs) {
  return AssembleMultiContact(msg.joint_data.contact_forces, "forces", group_names, start_ids,
                              dofs);
}

void SetExtWrenchInWorld(quor::RobotStates& states) {
  double w = states.tcp_pose[3];
  double x = states.tcp_pose[4];
  double y = states.tcp_pose[5];
  double z = states.tcp_pose[6];
  // A zero quaternion is kept as is: the matrix below then degenerates to the identity.
  const double norm = std::sqrt(w * w + x * x + y * y + z * z);
  if (norm > 0.0) {
    w /= norm;
    x /= norm;
    y /= norm;
    z /= norm;
  }
  const Matrix3 r{{
      {1.0 - 2.0 * (y * y + z * z), 2.0 * (x * y - w * z), 2.0 * (x * z + w * y)},
      {2.0 * (x * y + w * z), 1.0 - 2.0 * (x * x + z * z), 2.0 * (y * z - w * x)},
      {2.0 * (x * z - w * y), 2.0 * (y * z + w * x), 1.0 - 2.0 * (x * x + y * y)},
  }};
  Rotate(r, states.tcp_wrench_local, states.tcp_wrench, 0);
  Rotate(r, states.tcp_wrench_local, states.tcp_wrench, 3);
  Rotate(r, states.raw_tcp_wrench_local, states.raw_tcp_wrench, 0);
  Rotate(r, states.raw_tcp_wrench_local, states.raw_tcp_wrench, 3);
}

}  // namespace korvel::quor_impl
