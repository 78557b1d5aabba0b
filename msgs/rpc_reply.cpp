#include "msgs/rpc_reply.hpp"

#include "msgs/read_fields.hpp"

namespace korvel::zenoh_msgs::quor_msg {

bool __zenoh_deserialize_with_deserializer(zenoh::ext::Deserializer& deserializer, RPCReply& reply,
                                           zenoh::ZResult* err) {
  return serdetail::ReadFields(deserializer, err, reply);
}

}  // namespace korvel::zenoh_msgs::quor_msg
