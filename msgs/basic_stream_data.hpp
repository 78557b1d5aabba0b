#pragma once
// The robot's measured state, published continuously on the basic stream.

#include <array>
#include <cstddef>
#include <cstdint>
#include <tuple>
#include <utility>
#include <vector>

#include "zenoh/ext/deserializer.hpp"

namespace korvel::zenoh_msgs::quor_msg {

// Full-DoF lists: one element per joint of the whole robot, in the robot's joint order.
struct BasicJointData {
  std::vector<float> q;
  std::vector<float> theta;
  std::vector<float> dq;
  std::vector<float> dtheta;
  std::vector<float> tau;
  std::vector<float> tau_dot;
  std::vector<float> tau_ext;
  std::vector<float> tau_interact;
  std::vector<float> temperature;
  std::vector<std::array<float, 3>> contact_forces;
  std::vector<std::array<float, 3>> contact_positions;

  // Every field in wire order: what the decoder reads and what holds storage.
  static constexpr auto Fields() {
    using T = BasicJointData;
    return std::make_tuple(&T::q, &T::theta, &T::dq, &T::dtheta, &T::tau, &T::tau_dot, &T::tau_ext,
                           &T::tau_interact, &T::temperature, &T::contact_forces,
                           &T::contact_positions);
  }
};

// Measured Cartesian data of one joint group. Poses are x, y, z, qw, qx, qy, qz.
struct BasicCartesianData {
  std::array<float, 7> flange_pose{};
  std::array<float, 7> tcp_pose{};
  std::array<float, 6> tcp_twist{};
  std::array<float, 6> tcp_wrench_local{};
  std::array<float, 6> ignored_6{};
  std::array<float, 6> raw_tcp_wrench_local{};
  std::array<float, 6> raw_ft_sensor{};

  static constexpr auto Fields() {
    using T = BasicCartesianData;
    return std::make_tuple(&T::flange_pose, &T::tcp_pose, &T::tcp_twist, &T::tcp_wrench_local,
                           &T::ignored_6, &T::raw_tcp_wrench_local, &T::raw_ft_sensor);
  }
};

struct AllBasicStreamData {
  std::uint16_t system_state = 0;
  std::int16_t safety_board_state = 0;
  bool estop_released = false;
  bool enabling_device_on = false;
  std::array<bool, 8> safety_inputs{};
  std::array<bool, 20> digital_inputs{};
  std::array<bool, 20> digital_outputs{};
  std::vector<std::uint16_t> joint_group_indices;
  BasicJointData joint_data;
  std::vector<BasicCartesianData> cartesian_data;  // one entry per joint_group_indices entry
  std::pair<std::int32_t, std::uint32_t> timestamp{};

  static constexpr auto Fields() {
    using T = AllBasicStreamData;
    return std::make_tuple(&T::system_state, &T::safety_board_state, &T::estop_released,
                           &T::enabling_device_on, &T::safety_inputs, &T::digital_inputs,
                           &T::digital_outputs, &T::joint_group_indices, &T::joint_data,
                           &T::cartesian_data, &T::timestamp);
  }
};

bool __zenoh_deserialize_with_deserializer(zenoh::ext::Deserializer& deserializer,
                                           BasicJointData& value, zenoh::ZResult* err);
bool __zenoh_deserialize_with_deserializer(zenoh::ext::Deserializer& deserializer,
                                           BasicCartesianData& value, zenoh::ZResult* err);
bool __zenoh_deserialize_with_deserializer(zenoh::ext::Deserializer& deserializer,
                                           AllBasicStreamData& value, zenoh::ZResult* err);

}  // namespace korvel::zenoh_msgs::quor_msg

// A Cartesian entry is never shorter than its seven length-prefixed arrays (183 bytes), so
// an announced entry count is bounded by that against the bytes left.
namespace zenoh::ext {
template <>
struct MinEncodedSize<korvel::zenoh_msgs::quor_msg::BasicCartesianData> {
  static constexpr std::size_t value =
      2 * min_encoded_size_v<std::array<float, 7>> + 5 * min_encoded_size_v<std::array<float, 6>>;
};
static_assert(min_encoded_size_v<korvel::zenoh_msgs::quor_msg::BasicCartesianData> == 183);
}  // namespace zenoh::ext
