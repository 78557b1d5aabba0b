#pragma once
// Converting the robot's plan info reply (eight strings, by position) into a PlanInfo.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "client/records.hpp"
#include "client/rmx_state.hpp"

namespace korvel::quor_impl {

inline constexpr std::size_t kPlanInfoStringCount = 8;

inline constexpr std::string_view kPlanInfoNoReplyMessage =
    "[korvel::quor::Client] plan_info: No reply from the robot";

// Strings 0 to 5 are copied as text; 6 is read like std::stod in the "C" locale and 7 with
// std::stoi (non-zero means waiting), each from its leading numeric prefix. Any other count than
// eight leaves `info` untouched; a failed conversion keeps the fields assigned before it. Both are
// FAULT after an error line.
RmxState ReadPlanInfo(const std::vector<std::string>& strings, quor::PlanInfo& info);

}  // namespace korvel::quor_impl
