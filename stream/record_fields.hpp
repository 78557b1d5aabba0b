#pragma once
// Every field of the client's records, each once: its name, its member in the record and
// where the assembly takes it from in the stream message. The assembly, the capture's
// columns and the Python properties of records and columns are all derived from these
// tables, in this order; adding a field to a record means adding its row here.

#include <array>
#include <cstddef>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "client/records.hpp"
#include "msgs/basic_stream_data.hpp"
#include "msgs/extra_stream_data.hpp"

namespace korvel::quor_impl {

// Where a record field comes from. The rows below are written Joint{name, member, wire} etc.
enum class FieldKind {
  kJoint,      // the group's run cut out of the message's full-DoF list
  kCartesian,  // the group's Cartesian entry, widened from float
  kDerived,    // computed by the assembly from other fields (the world-frame wrenches)
};

template <class Record, class JointData>
struct Joint {
  static constexpr FieldKind kKind = FieldKind::kJoint;
  const char* name;
  std::vector<double> Record::* member;
  std::vector<float> JointData::* wire;
  std::size_t Width(std::size_t dof) const { return dof; }
};

template <class Record, class Entry, std::size_t N>
struct Cartesian {
  static constexpr FieldKind kKind = FieldKind::kCartesian;
  const char* name;
  std::array<double, N> Record::* member;
  std::array<float, N> Entry::* wire;
  std::size_t Width(std::size_t /*dof*/) const { return N; }
};

template <class Record, std::size_t N>
struct Derived {
  static constexpr FieldKind kKind = FieldKind::kDerived;
  const char* name;
  std::array<double, N> Record::* member;
  std::size_t Width(std::size_t /*dof*/) const { return N; }
};

// Spelled out for compilers that do not deduce an aggregate's arguments (clang before 17,
// which builds the fuzz tree).
template <class Record, class JointData>
Joint(const char*, std::vector<double> Record::*, std::vector<float> JointData::*)
    -> Joint<Record, JointData>;
template <class Record, class Entry, std::size_t N>
Cartesian(const char*, std::array<double, N> Record::*, std::array<float, N> Entry::*)
    -> Cartesian<Record, Entry, N>;
template <class Record, std::size_t N>
Derived(const char*, std::array<double, N> Record::*) -> Derived<Record, N>;

namespace fields {
using quor::RobotActions;
using quor::RobotStates;
using zenoh_msgs::quor_msg::BasicCartesianData;
using zenoh_msgs::quor_msg::BasicJointData;
using zenoh_msgs::quor_msg::ExtraCartesianData;
using zenoh_msgs::quor_msg::ExtraJointData;

// RobotStates, from the basic stream. Beside these it holds the message's timestamp.
inline constexpr auto kStates = std::make_tuple(
    Joint{"q", &RobotStates::q, &BasicJointData::q},
    Joint{"theta", &RobotStates::theta, &BasicJointData::theta},
    Joint{"dq", &RobotStates::dq, &BasicJointData::dq},
    Joint{"dtheta", &RobotStates::dtheta, &BasicJointData::dtheta},
    Joint{"tau", &RobotStates::tau, &BasicJointData::tau},
    Joint{"tau_dot", &RobotStates::tau_dot, &BasicJointData::tau_dot},
    Joint{"tau_ext", &RobotStates::tau_ext, &BasicJointData::tau_ext},
    Joint{"tau_interact", &RobotStates::tau_interact, &BasicJointData::tau_interact},
    Joint{"temperature", &RobotStates::temperature, &BasicJointData::temperature},
    Cartesian{"flange_pose", &RobotStates::flange_pose, &BasicCartesianData::flange_pose},
    Cartesian{"tcp_pose", &RobotStates::tcp_pose, &BasicCartesianData::tcp_pose},
    Cartesian{"tcp_twist", &RobotStates::tcp_twist, &BasicCartesianData::tcp_twist},
    Derived{"tcp_wrench", &RobotStates::tcp_wrench},
    Cartesian{"tcp_wrench_local", &RobotStates::tcp_wrench_local,
              &BasicCartesianData::tcp_wrench_local},
    Derived{"raw_tcp_wrench", &RobotStates::raw_tcp_wrench},
    Cartesian{"raw_tcp_wrench_local", &RobotStates::raw_tcp_wrench_local,
              &BasicCartesianData::raw_tcp_wrench_local},
    Cartesian{"raw_ft_sensor", &RobotStates::raw_ft_sensor, &BasicCartesianData::raw_ft_sensor});

// RobotActions, from the extra stream; their timestamp is the basic stream's.
inline constexpr auto kActions = std::make_tuple(
    Joint{"q_d", &RobotActions::q_d, &ExtraJointData::q_d},
    Joint{"dq_d", &RobotActions::dq_d, &ExtraJointData::dq_d},
    Joint{"tau_d", &RobotActions::tau_d, &ExtraJointData::tau_d},
    Cartesian{"tcp_pose_d", &RobotActions::tcp_pose_d, &ExtraCartesianData::tcp_pose_d},
    Cartesian{"tcp_twist_d", &RobotActions::tcp_twist_d, &ExtraCartesianData::tcp_twist_d},
    Cartesian{"tcp_wrench_d", &RobotActions::tcp_wrench_d, &ExtraCartesianData::tcp_wrench_d});
}  // namespace fields

template <class Record>
constexpr const auto& FieldsOf() {
  if constexpr (std::is_same_v<Record, quor::RobotStates>) {
    return fields::kStates;
  } else {
    return fields::kActions;
  }
}

// Calls f(field) for every field of a table, in order.
template <class Table, class F>
constexpr void ForEachField(const Table& table, F&& f) {
  std::apply([&](const auto&... field) { (f(field), ...); }, table);
}

// True when f(field) is true for every field, stopping at the first false.
template <class Table, class F>
constexpr bool AllFields(const Table& table, F&& f) {
  return std::apply([&](const auto&... field) { return (f(field) && ...); }, table);
}

// Calls f(field, other) for each field of a table paired, in order, with the entry of a
// list made in the table's order (such as the capture's columns of those fields).
template <class Table, class Other, class F>
constexpr void ForEachPair(const Table& table, const Other& other, F&& f) {
  static_assert(std::tuple_size_v<Table> == std::tuple_size_v<Other>, "one entry per field");
  [&]<std::size_t... I>(std::index_sequence<I...>) {
    (f(std::get<I>(table), std::get<I>(other)), ...);
  }(std::make_index_sequence<std::tuple_size_v<Table>>{});
}

}  // namespace korvel::quor_impl
