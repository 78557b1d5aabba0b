#include "msgs/rpc_request.hpp"

#include <utility>

namespace korvel::zenoh_msgs::quor_msg {

void __zenoh_serialize_with_serializer(zenoh::ext::Serializer& serializer,
                                       const RPCRequest& request, zenoh::ZResult* err) {
  using zenoh::ext::__zenoh_serialize_with_serializer;
  __zenoh_serialize_with_serializer(serializer, request.request_id, err);
  __zenoh_serialize_with_serializer(serializer, request.joint_groups, err);
}

zenoh::Bytes Encode(const RPCRequest& request) {
  zenoh::ext::Serializer serializer;
  __zenoh_serialize_with_serializer(serializer, request, nullptr);
  return std::move(serializer).finish();
}

}  // namespace korvel::zenoh_msgs::quor_msg
