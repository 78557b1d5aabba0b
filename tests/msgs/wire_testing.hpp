#pragma once
// Test-side view of the wire records: each record's fields restated in wire order, an
// encoder for the records the client only ever decodes, and a flat text form in which
// every float appears as its bit pattern. Two records are the same, bit for bit, exactly
// when their flat forms are equal; the cross-check generator writes the same form.

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "msgs/basic_stream_data.hpp"
#include "msgs/extra_stream_data.hpp"
#include "msgs/rpc_reply.hpp"
#include "msgs/rpc_request.hpp"
#include "zenoh/ext/serializer.hpp"

namespace korvel::zenoh_msgs::quor_msg {

template <class F>
void VisitFields(const BasicJointData& v, F&& f) {
  f("q", v.q);
  f("theta", v.theta);
  f("dq", v.dq);
  f("dtheta", v.dtheta);
  f("tau", v.tau);
  f("tau_dot", v.tau_dot);
  f("tau_ext", v.tau_ext);
  f("tau_interact", v.tau_interact);
  f("temperature", v.temperature);
  f("contact_forces", v.contact_forces);
  f("contact_positions", v.contact_positions);
}

template <class F>
void VisitFields(const BasicCartesianData& v, F&& f) {
  f("flange_pose", v.flange_pose);
  f("tcp_pose", v.tcp_pose);
  f("tcp_twist", v.tcp_twist);
  f("tcp_wrench_local", v.tcp_wrench_local);
  f("ignored_6", v.ignored_6);
  f("raw_tcp_wrench_local", v.raw_tcp_wrench_local);
  f("raw_ft_sensor", v.raw_ft_sensor);
}

template <class F>
void VisitFields(const AllBasicStreamData& v, F&& f) {
  f("system_state", v.system_state);
  f("safety_board_state", v.safety_board_state);
  f("estop_released", v.estop_released);
  f("enabling_device_on", v.enabling_device_on);
  f("safety_inputs", v.safety_inputs);
  f("digital_inputs", v.digital_inputs);
  f("digital_outputs", v.digital_outputs);
  f("joint_group_indices", v.joint_group_indices);
  f("joint_data", v.joint_data);
  f("cartesian_data", v.cartesian_data);
  f("timestamp", v.timestamp);
}

template <class F>
void VisitFields(const ExtraJointData& v, F&& f) {
  f("q_d", v.q_d);
  f("dq_d", v.dq_d);
  f("tau_d", v.tau_d);
}

template <class F>
void VisitFields(const ExtraCartesianData& v, F&& f) {
  f("tcp_pose_d", v.tcp_pose_d);
  f("tcp_twist_d", v.tcp_twist_d);
  f("tcp_wrench_d", v.tcp_wrench_d);
}

template <class F>
void VisitFields(const AllExtraStreamData& v, F&& f) {
  f("joint_group_indices", v.joint_group_indices);
  f("joint_data", v.joint_data);
  f("cartesian_data", v.cartesian_data);
}

template <class F>
void VisitFields(const RPCReply& v, F&& f) {
  f("request_id", v.request_id);
  f("success", v.success);
  f("joint_groups", v.joint_groups);
  f("int_container", v.int_container);
  f("string_container", v.string_container);
  f("float_container", v.float_container);
  f("float2d_container", v.float2d_container);
}

template <class T>
concept WireRecord = requires(const T& v) { VisitFields(v, [](const char*, const auto&) {}); };

// Encoder for the records that only the robot writes: fields back to back.
template <WireRecord R>
void __zenoh_serialize_with_serializer(zenoh::ext::Serializer& s, const R& record,
                                       zenoh::ZResult* err) {
  VisitFields(record, [&](const char*, const auto& field) {
    using zenoh::ext::__zenoh_serialize_with_serializer;
    __zenoh_serialize_with_serializer(s, field, err);
  });
}

}  // namespace korvel::zenoh_msgs::quor_msg

namespace kq_test {

using namespace korvel::zenoh_msgs::quor_msg;

template <class T>
std::vector<std::uint8_t> EncodeRecord(const T& value) {
  return zenoh::ext::serialize(value).as_vector();
}

template <class T>
struct IsSequence : std::false_type {};
template <class T, class A>
struct IsSequence<std::vector<T, A>> : std::true_type {};
template <class T, std::size_t N>
struct IsSequence<std::array<T, N>> : std::true_type {};

template <class T>
struct IsPair : std::false_type {};
template <class A, class B>
struct IsPair<std::pair<A, B>> : std::true_type {};

template <class T>
std::string ScalarText(T v) {
  if constexpr (std::is_same_v<T, float>) {
    std::uint32_t bits = 0;
    std::memcpy(&bits, &v, sizeof bits);
    char text[9];
    std::snprintf(text, sizeof text, "%08x", static_cast<unsigned>(bits));
    return text;
  } else if constexpr (std::is_same_v<T, bool>) {
    return v ? "1" : "0";
  } else {
    return std::to_string(+v);
  }
}

inline std::string HexText(const std::string& bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += kDigits[c >> 4];
    out += kDigits[c & 0xF];
  }
  return out;
}

// One line per scalar, string or list of scalars ("path count v1 v2 ..."); a list of
// anything else gives a "path count" line followed by its elements as "path[i]".
template <class T>
void Flatten(const std::string& path, const T& value, std::vector<std::string>& out) {
  if constexpr (std::is_arithmetic_v<T>) {
    out.push_back(path + " " + ScalarText(value));
  } else if constexpr (std::is_same_v<T, std::string>) {
    out.push_back(path + " " + std::to_string(value.size()) +
                  (value.empty() ? "" : " " + HexText(value)));
  } else if constexpr (IsSequence<T>::value) {
    using E = typename T::value_type;
    std::string line = path + " " + std::to_string(value.size());
    if constexpr (std::is_arithmetic_v<E>) {
      for (const auto& e : value) line += " " + ScalarText(e);
      out.push_back(std::move(line));
    } else {
      out.push_back(std::move(line));
      for (std::size_t i = 0; i < value.size(); ++i) {
        Flatten(path + "[" + std::to_string(i) + "]", value[i], out);
      }
    }
  } else if constexpr (IsPair<T>::value) {
    Flatten(path + ".first", value.first, out);
    Flatten(path + ".second", value.second, out);
  } else {
    VisitFields(value, [&](const char* name, const auto& field) {
      Flatten(path.empty() ? std::string(name) : path + "." + name, field, out);
    });
  }
}

template <class T>
std::vector<std::string> Flatten(const T& value) {
  std::vector<std::string> out;
  Flatten(std::string(), value, out);
  return out;
}

template <class T>
bool SameBits(const T& a, const T& b) {
  return Flatten(a) == Flatten(b);
}

}  // namespace kq_test
