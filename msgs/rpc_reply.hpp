#pragma once
// The general-purpose reply envelope of the robot's RPC server: each procedure fills only
// the containers it needs.

#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

#include "zenoh/ext/deserializer.hpp"

namespace korvel::zenoh_msgs::quor_msg {

struct RPCReply {
  std::uint16_t request_id = 0;
  bool success = false;
  std::vector<std::uint16_t> joint_groups;
  std::vector<std::int32_t> int_container;
  std::vector<std::string> string_container;
  std::vector<float> float_container;
  std::vector<std::vector<float>> float2d_container;

  // Every field in wire order, as the decoder reads them.
  static constexpr auto Fields() {
    using T = RPCReply;
    return std::make_tuple(&T::request_id, &T::success, &T::joint_groups, &T::int_container,
                           &T::string_container, &T::float_container, &T::float2d_container);
  }
};

bool __zenoh_deserialize_with_deserializer(zenoh::ext::Deserializer& deserializer, RPCReply& reply,
                                           zenoh::ZResult* err);

}  // namespace korvel::zenoh_msgs::quor_msg
