#pragma once
// Shared step of every record decoder: the record's fields, read in wire order.

#include "zenoh/ext/deserializer.hpp"

namespace korvel::zenoh_msgs::quor_msg::serdetail {

// Reads each field in turn and stops at the first that fails; the caller discards the
// partly filled record. Record-typed fields are found by argument-dependent lookup.
template <class... Fields>
bool ReadFields(zenoh::ext::Deserializer& d, zenoh::ZResult* err, Fields&... fields) {
  using zenoh::ext::__zenoh_deserialize_with_deserializer;
  return (__zenoh_deserialize_with_deserializer(d, fields, err) && ...);
}

}  // namespace korvel::zenoh_msgs::quor_msg::serdetail
