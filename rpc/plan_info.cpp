#include "rpc/plan_info.hpp"

#include <exception>

#include <spdlog/spdlog.h>

#include "rpc/classic_stod.hpp"

namespace korvel::quor_impl {

RmxState ReadPlanInfo(const std::vector<std::string>& strings, quor::PlanInfo& info) {
  if (strings.size() != kPlanInfoStringCount) {
    spdlog::error("[korvel::quor::Client] Size of plan info container is incorrect");
    return _MakeRmxState(FAULT);
  }
  info.pt_name = strings[0];
  info.node_name = strings[1];
  info.node_path = strings[2];
  info.node_path_time_period = strings[3];
  info.node_path_number = strings[4];
  info.assigned_plan_name = strings[5];
  try {
    info.velocity_scale = ClassicStod(strings[6]);
    info.waiting_for_step = std::stoi(strings[7]) != 0;
  } catch (const std::exception& e) {
    spdlog::error("Invalid PlanInfo string conversion: {}", e.what());
    return _MakeRmxState(FAULT);
  }
  return _MakeRmxState(OK);
}

}  // namespace korvel::quor_impl
