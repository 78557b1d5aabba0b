#include "msgs/extra_stream_data.hpp"

#include "msgs/read_fields.hpp"

namespace korvel::zenoh_msgs::quor_msg {

bool __zenoh_deserialize_with_deserializer(zenoh::ext::Deserializer& deserializer,
                                           ExtraJointData& value, zenoh::ZResult* err) {
  return serdetail::ReadFields(deserializer, err, value.q_d, value.dq_d, value.tau_d);
}

bool __zenoh_deserialize_with_deserializer(zenoh::ext::Deserializer& deserializer,
                                           ExtraCartesianData& value, zenoh::ZResult* err) {
  return serdetail::ReadFields(deserializer, err, value.tcp_pose_d, value.tcp_twist_d,
                               value.tcp_wrench_d);
}

bool __zenoh_deserialize_with_deserializer(zenoh::ext::Deserializer& deserializer,
                                           AllExtraStreamData& value, zenoh::ZResult* err) {
  return serdetail::ReadFields(deserializer, err, value.joint_group_indices, value.joint_data,
                               value.cartesian_data);
}

}  // namespace korvel::zenoh_msgs::quor_msg
