#pragma once
// Per-group assembly of the cached stream messages into the client's records. Each function
// reads one message and the connection-time group layout; the caller holds the message's
// lock. Failures are all-or-nothing: one error line and an empty map.

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include <Eigen/Core>

#include "client/group_layout.hpp"
#include "client/joint_group.hpp"
#include "client/records.hpp"
#include "msgs/basic_stream_data.hpp"
#include "msgs/extra_stream_data.hpp"

namespace korvel::quor_impl {

using MultiContactMap = std::map<quor::JointGroup, std::vector<Eigen::Vector3d>>;

// The named groups of a message's joint_group_indices, ordered by value, each once. An index
// above 5 logs an error (naming the "basic" or "extra" stream) and yields an empty map; the
// unassigned index 1 throws the std::out_of_range of the name table's lookup.
GroupNames JointGroupsFromIndices(const std::vector<std::uint16_t>& indices, bool basic);

// The second word travels as uint32 and is kept bit for bit, so values from 2^31 read negative.
std::pair<std::int32_t, std::int32_t> StampFromWire(
    const std::pair<std::int32_t, std::uint32_t>& wire);

// `joint_count`, when not 0, is the length of the robot's full joint lists when the client
// connected: a message whose lists (otherwise cut without fault) are longer or shorter comes
// from a robot that has changed its layout since, and yields one error line and an empty
// map rather than groups cut by a layout that no longer holds.
std::map<quor::JointGroup, quor::RobotStates> AssembleRobotStates(
    const zenoh_msgs::quor_msg::AllBasicStreamData& msg, const GroupNames& group_names,
    const StartIds& start_ids, const Dofs& dofs, std::size_t joint_count = 0);

// `timestamp` is the latest basic message's: the extra stream carries none. `joint_count` is
// the extra stream's own length (from its first sample), which may differ from the basic one.
std::map<quor::JointGroup, quor::RobotActions> AssembleRobotActions(
    std::pair<std::int32_t, std::int32_t> timestamp,
    const zenoh_msgs::quor_msg::AllExtraStreamData& msg, const GroupNames& group_names,
    const StartIds& start_ids, const Dofs& dofs, std::size_t joint_count = 0);

// True exactly when AssembleRobotStates / AssembleRobotActions would answer with the groups
// rather than an error line, checked without logging (for readers of many samples).
bool StatesFitLayout(const zenoh_msgs::quor_msg::AllBasicStreamData& msg,
                     const GroupNames& group_names, const StartIds& start_ids, const Dofs& dofs,
                     std::size_t joint_count = 0);
bool ActionsFitLayout(const zenoh_msgs::quor_msg::AllExtraStreamData& msg,
                      const GroupNames& group_names, const StartIds& start_ids, const Dofs& dofs,
                      std::size_t joint_count = 0);

MultiContactMap AssembleMultiContactPositions(const zenoh_msgs::quor_msg::AllBasicStreamData& msg,
                                              const GroupNames& group_names,
                                              const StartIds& start_ids, const Dofs& dofs);

MultiContactMap AssembleMultiContactForces(const zenoh_msgs::quor_msg::AllBasicStreamData& msg,
                                           const GroupNames& group_names,
                                           const StartIds& start_ids, const Dofs& dofs);

// Rotates both three-vectors of tcp_wrench_local and raw_tcp_wrench_local by the orientation
// of tcp_pose into tcp_wrench and raw_tcp_wrench (no moment arm: the position is ignored).
void SetExtWrenchInWorld(quor::RobotStates& states);

}  // namespace korvel::quor_impl
