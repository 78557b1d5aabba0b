#include "msgs/held_storage.hpp"

#include <malloc.h>

namespace korvel::zenoh_msgs::quor_msg {

namespace {

template <class T>
std::size_t Bytes(const std::vector<T>& list) {
  return list.capacity() * sizeof(T);
}

}  // namespace

void ReleaseFreedMemory() noexcept {
#if defined(__GLIBC__)
  malloc_trim(0);
#endif
}

std::size_t HeldBytes(const AllBasicStreamData& m) {
  const BasicJointData& j = m.joint_data;
  return Bytes(m.joint_group_indices) + Bytes(j.q) + Bytes(j.theta) + Bytes(j.dq) +
         Bytes(j.dtheta) + Bytes(j.tau) + Bytes(j.tau_dot) + Bytes(j.tau_ext) +
         Bytes(j.tau_interact) + Bytes(j.temperature) + Bytes(j.contact_forces) +
         Bytes(j.contact_positions) + Bytes(m.cartesian_data);
}

std::size_t HeldBytes(const AllExtraStreamData& m) {
  const ExtraJointData& j = m.joint_data;
  return Bytes(m.joint_group_indices) + Bytes(j.q_d) + Bytes(j.dq_d) + Bytes(j.tau_d) +
         Bytes(m.cartesian_data);
}

}  // namespace korvel::zenoh_msgs::quor_msg
