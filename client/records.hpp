#pragma once
// The plain records the client hands to its callers. They carry no behaviour; every
// default-constructed field is zero, false or empty.

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace korvel::quor {

// Poses are x, y, z followed by the orientation quaternion w, x, y, z. Six-element
// Cartesian quantities are two three-vectors (indices 0-2 and 3-5).
struct RobotStates {
  std::pair<std::int32_t, std::int32_t> timestamp{0, 0};
  std::vector<double> q;
  std::vector<double> theta;
  std::vector<double> dq;
  std::vector<double> dtheta;
  std::vector<double> tau;
  std::vector<double> tau_dot;
  std::vector<double> tau_ext;
  std::vector<double> tau_interact;
  std::vector<double> temperature;
  std::array<double, 7> flange_pose{};
  std::array<double, 7> tcp_pose{};
  std::array<double, 6> tcp_twist{};
  std::array<double, 6> tcp_wrench{};  // world frame, derived from tcp_wrench_local
  std::array<double, 6> tcp_wrench_local{};
  std::array<double, 6> raw_tcp_wrench{};  // world frame, derived from raw_tcp_wrench_local
  std::array<double, 6> raw_tcp_wrench_local{};
  std::array<double, 6> raw_ft_sensor{};
};

// Desired values come from the extra stream, but the timestamp is the basic stream's:
// the extra stream carries none.
struct RobotActions {
  std::pair<std::int32_t, std::int32_t> timestamp{0, 0};
  std::vector<double> q_d;
  std::vector<double> dq_d;
  std::vector<double> tau_d;
  std::array<double, 7> tcp_pose_d{};
  std::array<double, 6> tcp_twist_d{};
  std::array<double, 6> tcp_wrench_d{};
};

struct PrimitiveStates {
  using Value = std::variant<int, double, std::string>;

  std::string pt_name;
  std::map<std::string, Value> names_and_values;
};

struct PlanInfo {
  std::string pt_name;
  std::string node_name;
  std::string node_path;
  std::string node_path_time_period;
  std::string node_path_number;
  std::string assigned_plan_name;
  double velocity_scale = 0.0;
  bool waiting_for_step = false;
};

}  // namespace korvel::quor
