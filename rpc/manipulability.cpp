#include "rpc/manipulability.hpp"

#include <spdlog/spdlog.h>

namespace korvel::quor_impl {

RmxState ReadManipulability(const zenoh_msgs::quor_msg::RPCReply& reply, ManipulabilityMap& out) {
  if (reply.joint_groups.size() != reply.float2d_container.size()) {
    spdlog::error(
        "Malformed manipulability reply: size mismatch between joint_groups and "
        "float2d_container");
    return _MakeRmxState(FAULT);
  }
  out.clear();
  for (std::size_t i = 0; i < reply.joint_groups.size(); ++i) {
    const std::vector<float>& packed = reply.float2d_container[i];
    if (packed.size() < kManipulabilityPackedSize) {
      spdlog::error(
          "Malformed manipulability reply: packed vector size [{}], expecting at least "
          "[{}]",
          packed.size(), kManipulabilityPackedSize);
      return _MakeRmxState(FAULT);
    }
    std::array<double, 6>& values = out[static_cast<quor::JointGroup>(reply.joint_groups[i])];
    for (std::size_t k = 0; k < values.size(); ++k) {
      values[k] = static_cast<double>(packed[k + 2]);
    }
  }
  return _MakeRmxState(OK);
}

}  // namespace korvel::quor_impl
