#include "msgs/basic_stream_data.hpp"

#include "msgs/read_fields.hpp"

namespace korvel::zenoh_msgs::quor_msg {

bool __zenoh_deserialize_with_deserializer(zenoh::ext::Deserializer& deserializer,
                                           BasicJointData& value, zenoh::ZResult* err) {
  return serdetail::ReadFields(deserializer, err, value);
}

bool __zenoh_deserialize_with_deserializer(zenoh::ext::Deserializer& deserializer,
                                           BasicCartesianData& value, zenoh::ZResult* err) {
  return serdetail::ReadFields(deserializer, err, value);
}

bool __zenoh_deserialize_with_deserializer(zenoh::ext::Deserializer& deserializer,
                                           AllBasicStreamData& value, zenoh::ZResult* err) {
  return serdetail::ReadFields(deserializer, err, value);
}

}  // namespace korvel::zenoh_msgs::quor_msg
