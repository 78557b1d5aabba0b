#pragma once
// The two configuration scores of a joint group, each in [0, 100], computed from its
// manipulability values 2 (first score) and 5 (second score).

#include <map>
#include <string_view>
#include <utility>

#include "client/joint_group.hpp"
#include "rpc/manipulability.hpp"

namespace korvel::quor_impl {

inline constexpr std::string_view kConfigurationScoreNoReplyMessage =
    "[korvel::quor::Model::configuration_score] No reply from the robot";

using ConfigurationScoreMap = std::map<quor::JointGroup, std::pair<double, double>>;

// Piecewise linear through 0 -> 0, 0.08 -> 20, 0.15 -> 40, 0.22 -> 100, clamped at 100;
// negative values and NaN score 0.
double FirstConfigurationScore(double value);

// Piecewise linear through 0 -> 0, 0.08 -> 20, 0.3 -> 40, 0.75 -> 100, clamped at 100;
// negative values and NaN score 0.
double SecondConfigurationScore(double value);

// One pair per group of `manipulability`, whether or not the client knows the group.
ConfigurationScoreMap ConfigurationScores(const ManipulabilityMap& manipulability);

}  // namespace korvel::quor_impl
