#pragma once
// Reading the robot's manipulability reply: per group, the six values packed at elements 2
// to 7 of the group's float vector.

#include <array>
#include <cstddef>
#include <map>

#include "client/joint_group.hpp"
#include "client/rmx_state.hpp"
#include "msgs/rpc_reply.hpp"

namespace korvel::quor_impl {

using ManipulabilityMap = std::map<quor::JointGroup, std::array<double, 6>>;

// Elements 0 and 1 of a packed vector are unused, 2 to 7 are the values, the rest is ignored.
inline constexpr std::size_t kManipulabilityPackedSize = 8;

// FAULT after an error line when joint_groups and float2d_container differ in length (`out`
// untouched) or a packed vector is short (`out` keeps the groups read before it). A repeated
// group keeps the later entry.
RmxState ReadManipulability(const zenoh_msgs::quor_msg::RPCReply& reply, ManipulabilityMap& out);

}  // namespace korvel::quor_impl
