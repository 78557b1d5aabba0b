#pragma once
// The request the client sends as the payload of a query on the robot's RPC key expression.

#include <cstdint>
#include <vector>

#include "zenoh/bytes.hpp"
#include "zenoh/ext/serializer.hpp"

namespace korvel::zenoh_msgs::quor_msg {

struct RPCRequest {
  std::uint16_t request_id = 0;
  std::vector<std::uint16_t> joint_groups;
};

void __zenoh_serialize_with_serializer(zenoh::ext::Serializer& serializer,
                                       const RPCRequest& request, zenoh::ZResult* err);

// The whole payload of one request.
zenoh::Bytes Encode(const RPCRequest& request);

}  // namespace korvel::zenoh_msgs::quor_msg
