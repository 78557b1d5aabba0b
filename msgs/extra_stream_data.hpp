#pragma once
// The robot's desired (commanded) state, published continuously on the extra stream.

#include <array>
#include <cstddef>
#include <cstdint>
#include <tuple>
#include <utility>
#include <vector>

#include "zenoh/ext/deserializer.hpp"

namespace korvel::zenoh_msgs::quor_msg {

struct ExtraJointData {
  std::vector<float> q_d;
  std::vector<float> dq_d;
  std::vector<float> tau_d;

  // Every field in wire order: what the decoder reads and what holds storage.
  static constexpr auto Fields() {
    using T = ExtraJointData;
    return std::make_tuple(&T::q_d, &T::dq_d, &T::tau_d);
  }
};

struct ExtraCartesianData {
  std::array<float, 7> tcp_pose_d{};
  std::array<float, 6> tcp_twist_d{};
  std::array<float, 6> tcp_wrench_d{};

  static constexpr auto Fields() {
    using T = ExtraCartesianData;
    return std::make_tuple(&T::tcp_pose_d, &T::tcp_twist_d, &T::tcp_wrench_d);
  }
};

struct AllExtraStreamData {
  std::vector<std::uint16_t> joint_group_indices;
  ExtraJointData joint_data;
  std::vector<ExtraCartesianData> cartesian_data;  // one entry per joint_group_indices entry

  static constexpr auto Fields() {
    using T = AllExtraStreamData;
    return std::make_tuple(&T::joint_group_indices, &T::joint_data, &T::cartesian_data);
  }
};

bool __zenoh_deserialize_with_deserializer(zenoh::ext::Deserializer& deserializer,
                                           ExtraJointData& value, zenoh::ZResult* err);
bool __zenoh_deserialize_with_deserializer(zenoh::ext::Deserializer& deserializer,
                                           ExtraCartesianData& value, zenoh::ZResult* err);
bool __zenoh_deserialize_with_deserializer(zenoh::ext::Deserializer& deserializer,
                                           AllExtraStreamData& value, zenoh::ZResult* err);

}  // namespace korvel::zenoh_msgs::quor_msg

// A desired Cartesian entry is never shorter than its three length-prefixed arrays
// (79 bytes), so an announced entry count is bounded by that against the bytes left.
namespace zenoh::ext {
template <>
struct MinEncodedSize<korvel::zenoh_msgs::quor_msg::ExtraCartesianData> {
  static constexpr std::size_t value =
      min_encoded_size_v<std::array<float, 7>> + 2 * min_encoded_size_v<std::array<float, 6>>;
};
static_assert(min_encoded_size_v<korvel::zenoh_msgs::quor_msg::ExtraCartesianData> == 79);
}  // namespace zenoh::ext
