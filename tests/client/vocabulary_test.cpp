#include <gtest/gtest.h>

#include <map>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

#include "client/joint_group.hpp"
#include "client/records.hpp"
#include "client/rmx_state.hpp"
#include "client/system_state.hpp"

namespace korvel {
namespace {

using quor::JointGroup;

TEST(JointGroupTest, ValuesNamesAndOrderAreTheRobots) {
  // Table order is numeric order: a map keyed by JointGroup must iterate exactly this way.
  const std::vector<std::pair<int, std::string>> expected = {
      {-1, "UNKNOWN"}, {0, "ALL"}, {2, "ARMS"}, {3, "ARM_1"}, {4, "ARM_2"}, {5, "EXT_AXIS"}};
  std::vector<std::pair<int, std::string>> actual;
  for (const auto& [group, name] : quor::kJointGroupNames) {
    actual.emplace_back(static_cast<int>(group), name);
  }
  EXPECT_EQ(actual, expected);
  EXPECT_EQ(static_cast<int>(JointGroup::UNKNOWN), -1);
  EXPECT_EQ(static_cast<int>(JointGroup::ARM_1), 3);
  EXPECT_EQ(static_cast<int>(JointGroup::EXT_AXIS), 5);

  const std::map<JointGroup, int> some{
      {JointGroup::EXT_AXIS, 0}, {JointGroup::ALL, 0}, {JointGroup::ARM_1, 0}};
  std::vector<JointGroup> order;
  for (const auto& entry : some) order.push_back(entry.first);
  EXPECT_EQ(order, (std::vector{JointGroup::ALL, JointGroup::ARM_1, JointGroup::EXT_AXIS}));
}

TEST(JointGroupTest, LookupOfAnUnassignedValueFailsInsteadOfInserting) {
  for (const int value : {1, 6, -2}) {
    EXPECT_THROW(quor::kJointGroupNames.at(static_cast<JointGroup>(value)), std::out_of_range)
        << value;
  }
  EXPECT_EQ(quor::kJointGroupNames.size(), 6u);
}

TEST(RecordsTest, DefaultsAreZeroAndEmpty) {
  const quor::RobotStates states;
  EXPECT_TRUE(states.q.empty());
  EXPECT_TRUE(states.temperature.empty());
  EXPECT_EQ(states.tcp_pose, (std::array<double, 7>{}));
  EXPECT_EQ(states.raw_tcp_wrench, (std::array<double, 6>{}));
  EXPECT_EQ(states.timestamp, (std::pair<std::int32_t, std::int32_t>{0, 0}));
  const quor::RobotActions actions;
  EXPECT_EQ(actions.timestamp, (std::pair<std::int32_t, std::int32_t>{0, 0}));
  EXPECT_EQ(actions.tcp_wrench_d, (std::array<double, 6>{}));
  const quor::PlanInfo info;
  EXPECT_EQ(info.velocity_scale, 0.0);
  EXPECT_FALSE(info.waiting_for_step);
  EXPECT_TRUE(info.assigned_plan_name.empty());
}

TEST(RecordsTest, PrimitiveValuesKeepTheirAlternativeAndKeysSortByteWise) {
  quor::PrimitiveStates states;
  states.names_and_values["b"] = 3;
  states.names_and_values["a"] = 0.5;
  states.names_and_values["B"] = std::string("x");
  EXPECT_EQ(states.names_and_values.begin()->first, "B");
  EXPECT_EQ(std::next(states.names_and_values.begin())->first, "a");
  EXPECT_TRUE(std::holds_alternative<int>(states.names_and_values["b"]));
}

TEST(RmxStateTest, GeneralCategoryNamesEveryCode) {
  const RmxStateCategory& category = RmxGeneralStateCategory();
  EXPECT_STREQ(category.name(), "General");
  const std::vector<std::pair<std::int32_t, std::string>> cases = {{100000, "OK"},
                                                                   {200000, "Warning"},
                                                                   {300000, "Fault"},
                                                                   {400000, "Critical fault"},
                                                                   {0, "(unrecognized)"},
                                                                   {150000, "(unrecognized)"},
                                                                   {100001, "(unrecognized)"},
                                                                   {-100000, "(unrecognized)"},
                                                                   {500000, "(unrecognized)"}};
  for (const auto& [code, text] : cases) {
    EXPECT_EQ(category.message(code), text) << code;
  }
}

TEST(RmxStateTest, MadeStatesCarryTheCodeAndTheSingleCategory) {
  const RmxState fault = _MakeRmxState(FAULT);
  EXPECT_EQ(fault.code, 300000);
  EXPECT_NE(fault.code, OK);
  EXPECT_GT(fault.code, 299999);
  EXPECT_EQ(fault.category, &RmxGeneralStateCategory());
  EXPECT_EQ(_MakeRmxState(OK).category, fault.category);
  EXPECT_EQ(_MakeRmxState(WARNING).code, 200000);
  EXPECT_EQ(_MakeRmxState(CRITICAL_FAULT).code, 400000);
}

TEST(SystemStateTest, NameTablesHoldExactlyTheRobotsStates) {
  const std::vector<std::string> system_names = {"UNKNOWN",
                                                 "INIT",
                                                 "STOPPED_MANUAL",
                                                 "STOPPED_AUTO",
                                                 "STOPPED_EXTERNAL_AUTO",
                                                 "WORKING_EXTERNAL_AUTO",
                                                 "WORKING_MANUAL_EXECUTE",
                                                 "WORKING_AUTO_EXECUTE",
                                                 "REWIND_EXTERNAL_AUTO",
                                                 "REWIND_MANUAL",
                                                 "REWIND_AUTO",
                                                 "FREEDRIVE_MANUAL",
                                                 "FREEDRIVE_AUTO",
                                                 "FAULT_MANUAL",
                                                 "FAULT_AUTO",
                                                 "FAULT_EXTERNAL_AUTO",
                                                 "RECOVERY_MANUAL",
                                                 "RECOVERY_AUTO",
                                                 "RECOVERY_EXTERNAL_AUTO"};
  ASSERT_EQ(rmx::SystemStateName.size(), 19u);
  for (std::uint16_t value = 0; value < system_names.size(); ++value) {
    EXPECT_EQ(rmx::SystemStateName.at(static_cast<rmx::SystemState>(value)), system_names[value]);
  }

  const std::vector<std::pair<int, std::string>> safety = {
      {-1, "UNKNOWN"},    {0, "STARTUP"},     {8, "SYNC"},        {9, "RECOVERY"},
      {10, "REDUCED"},    {12, "NORMAL"},     {14, "TRANSITION"}, {24, "RELEASE_BRAKE"},
      {40, "CAT_0_STOP"}, {72, "CAT_1_STOP"}, {136, "CAT_2_STOP"}};
  std::vector<std::pair<int, std::string>> actual;
  for (const auto& [state, name] : rmx::SafetyBoardStateName) {
    actual.emplace_back(static_cast<int>(state), name);
  }
  EXPECT_EQ(actual, safety);
}

}  // namespace
}  // namespace korvel
