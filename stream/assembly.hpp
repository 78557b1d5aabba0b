#pragma once
// Per-group assembly of the cached stream messages into the client's records. Each function
// reads one message and the connection-time group layout; the caller holds the message's
// lock. Nothing here logs: a failure comes back with the line for the caller to log.

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include <spdlog/spdlog.h>
#include <Eigen/Core>

#include "client/group_layout.hpp"
#include "client/joint_group.hpp"
#include "client/records.hpp"
#include "msgs/basic_stream_data.hpp"
#include "msgs/extra_stream_data.hpp"
#include "stream/stream_traits.hpp"

namespace korvel::quor_impl {

using MultiContactMap = std::map<quor::JointGroup, std::vector<Eigen::Vector3d>>;

// What an assembly built, or why it could not: `error` is then the line its caller logs
// (at error level) and `value` is empty. Readers of many samples (the capture) use `ok()`
// and log nothing.
template <class T>
struct Assembled {
  T value{};
  std::string error;
  bool ok() const noexcept { return error.empty(); }
};

// The caller's step: logs a failed assembly's line and returns what was built.
template <class T>
T Logged(Assembled<T> assembled) {
  if (!assembled.ok()) spdlog::error("{}", assembled.error);
  return std::move(assembled.value);
}

// The named groups of a message's joint_group_indices, ordered by value, each once. An index
// above 5 fails (naming the stream) with no groups; the unassigned index 1 throws the
// std::out_of_range of the name table's lookup.
Assembled<GroupNames> JointGroupsFromIndices(const std::vector<std::uint16_t>& indices,
                                             Stream stream);

// The second word travels as uint32 and is kept bit for bit, so values from 2^31 read negative.
std::pair<std::int32_t, std::int32_t> StampFromWire(
    const std::pair<std::int32_t, std::uint32_t>& wire);

// Failures are all-or-nothing. `joint_count`, when not 0, is the length of the robot's full
// joint lists when the client connected: a message whose lists (otherwise cut without fault)
// are longer or shorter comes from a robot that has changed its layout since, and fails
// rather than giving groups cut by a layout that no longer holds.
Assembled<std::map<quor::JointGroup, quor::RobotStates>> AssembleRobotStates(
    const zenoh_msgs::quor_msg::AllBasicStreamData& msg, const GroupNames& group_names,
    const StartIds& start_ids, const Dofs& dofs, std::size_t joint_count = 0);

// `timestamp` is the latest basic message's: the extra stream carries none. `joint_count` is
// the extra stream's own length (from its first sample), which may differ from the basic one.
Assembled<std::map<quor::JointGroup, quor::RobotActions>> AssembleRobotActions(
    std::pair<std::int32_t, std::int32_t> timestamp,
    const zenoh_msgs::quor_msg::AllExtraStreamData& msg, const GroupNames& group_names,
    const StartIds& start_ids, const Dofs& dofs, std::size_t joint_count = 0);

// The line AssembleRobotStates / AssembleRobotActions would fail with, or empty when they
// would succeed: for readers of many samples that write the groups' values themselves.
std::string AssemblyError(const zenoh_msgs::quor_msg::AllBasicStreamData& msg,
                          const GroupNames& group_names, const StartIds& start_ids,
                          const Dofs& dofs, std::size_t joint_count = 0);
std::string AssemblyError(const zenoh_msgs::quor_msg::AllExtraStreamData& msg,
                          const GroupNames& group_names, const StartIds& start_ids,
                          const Dofs& dofs, std::size_t joint_count = 0);

Assembled<MultiContactMap> AssembleMultiContactPositions(
    const zenoh_msgs::quor_msg::AllBasicStreamData& msg, const GroupNames& group_names,
    const StartIds& start_ids, const Dofs& dofs);

Assembled<MultiContactMap> AssembleMultiContactForces(
    const zenoh_msgs::quor_msg::AllBasicStreamData& msg, const GroupNames& group_names,
    const StartIds& start_ids, const Dofs& dofs);

// Rotates both three-vectors of tcp_wrench_local and raw_tcp_wrench_local by the orientation
// of tcp_pose into tcp_wrench and raw_tcp_wrench (no moment arm: the position is ignored).
void SetExtWrenchInWorld(quor::RobotStates& states);

}  // namespace korvel::quor_impl
