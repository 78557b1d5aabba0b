#include "msgs/basic_stream_data.hpp"

#include "msgs/read_fields.hpp"

namespace korvel::zenoh_msgs::quor_msg {

bool __zenoh_deserialize_with_deserializer(zenoh::ext::Deserializer& deserializer,
                                           BasicJointData& value, zenoh::ZResult* err) {
  return serdetail::ReadFields(deserializer, err, value.q, value.theta, value.dq, value.dtheta,
                               value.tau, value.tau_dot, value.tau_ext, value.tau_interact,
                               value.temperature, value.contact_forces, value.contact_positions);
}

bool __zenoh_deserialize_with_deserializer(zenoh::ext::Deserializer& deserializer,
                                           BasicCartesianData& value, zenoh::ZResult* err) {
  return serdetail::ReadFields(deserializer, err, value.flange_pose, value.tcp_pose,
                               value.tcp_twist, value.tcp_wrench_local, value.ignored_6,
                               value.raw_tcp_wrench_local, value.raw_ft_sensor);
}

bool __zenoh_deserialize_with_deserializer(zenoh::ext::Deserializer& deserializer,
                                           AllBasicStreamData& value, zenoh::ZResult* err) {
  return serdetail::ReadFields(deserializer, err, value.system_state, value.safety_board_state,
                               value.estop_released, value.enabling_device_on,
                               value.safety_inputs, value.digital_inputs, value.digital_outputs,
                               value.joint_group_indices, value.joint_data, value.cartesian_data,
                               value.timestamp);
}

}  // namespace korvel::zenoh_msgs::quor_msg
