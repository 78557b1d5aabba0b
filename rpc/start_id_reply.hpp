#pragma once
// Reading the robot's start ID and DoF reply into the group layout.

#include "client/group_layout.hpp"
#include "client/rmx_state.hpp"
#include "msgs/rpc_reply.hpp"

namespace korvel::quor_impl {

// The reply's joint_groups, int_container (start IDs) and float_container (DoFs) are parallel
// arrays. On success both maps hold exactly the reply's groups (the last occurrence of a
// repeated group wins) and each DoF is truncated toward zero. A reply whose arrays differ in
// length, or with a DoF that is not a finite number in [0, 2^32), is malformed: FAULT after
// an error line, both maps untouched. The DoF bound keeps start + DoF from wrapping around.
RmxState ReadStartIdAndDoF(const zenoh_msgs::quor_msg::RPCReply& reply, StartIds& start_ids,
                           Dofs& dofs);

}  // namespace korvel::quor_impl
