#pragma once
// Shared step of every record decoder: the record's fields, read in wire order.

#include <tuple>

#include "zenoh/ext/deserializer.hpp"

namespace korvel::zenoh_msgs::quor_msg::serdetail {

// Reads each field of `record` (its Fields(), in wire order) and stops at the first that
// fails; the caller discards the partly filled record. Record-typed fields are found by
// argument-dependent lookup.
template <class Record>
bool ReadFields(zenoh::ext::Deserializer& d, zenoh::ZResult* err, Record& record) {
  using zenoh::ext::__zenoh_deserialize_with_deserializer;
  return std::apply(
      [&](auto... field) {
        return (__zenoh_deserialize_with_deserializer(d, record.*field, err) && ...);
      },
      Record::Fields());
}

}  // namespace korvel::zenoh_msgs::quor_msg::serdetail
