#include "rpc/start_id_reply.hpp"

#include <cmath>
#include <cstddef>

#include <spdlog/spdlog.h>

namespace korvel::quor_impl {
namespace {

// 2^32, exactly representable as a float.
constexpr float kDofLimit = 4294967296.0F;

bool IsValidDof(float dof) { return std::isfinite(dof) && dof >= 0.0F && dof < kDofLimit; }

}  // namespace

RmxState ReadStartIdAndDoF(const zenoh_msgs::quor_msg::RPCReply& reply, StartIds& start_ids,
                           Dofs& dofs) {
  const std::size_t n = reply.int_container.size();
  if (reply.joint_groups.size() != n || reply.float_container.size() != n) {
    spdlog::error(
        "Malformed start ID reply: size mismatch between joint_groups, int_container, "
        "and float_container");
    return _MakeRmxState(FAULT);
  }
  for (std::size_t i = 0; i < n; ++i) {
    if (!IsValidDof(reply.float_container[i])) {
      spdlog::error("Malformed start ID reply: invalid DoF [{}] for joint group [{}]",
                    reply.float_container[i], reply.joint_groups[i]);
      return _MakeRmxState(FAULT);
    }
  }

  start_ids.clear();
  dofs.clear();
  for (std::size_t i = 0; i < n; ++i) {
    const auto g = static_cast<quor::JointGroup>(reply.joint_groups[i]);
    start_ids[g] = static_cast<unsigned int>(reply.int_container[i]);
    dofs[g] = static_cast<std::size_t>(reply.float_container[i]);
  }
  return _MakeRmxState(OK);
}

}  // namespace korvel::quor_impl
