#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "rpc/manipulability.hpp"
#include "rpc/plan_info.hpp"
#include "rpc/start_id_reply.hpp"
#include "tests/support/log_capture.hpp"

namespace korvel::quor_impl {
namespace {

using quor::JointGroup;
using zenoh_msgs::quor_msg::RPCReply;

RPCReply StartIdReply(std::vector<std::uint16_t> groups, std::vector<std::int32_t> starts,
                      std::vector<float> dofs) {
  RPCReply reply;
  reply.request_id = 10;
  reply.success = true;
  reply.joint_groups = std::move(groups);
  reply.int_container = std::move(starts);
  reply.float_container = std::move(dofs);
  return reply;
}

TEST(StartIdReplyTest, FillsTheLayoutInReplyOrder) {
  testing::LogCapture log;
  StartIds starts{{JointGroup::UNKNOWN, 99}};
  Dofs dofs{{JointGroup::UNKNOWN, 99}};
  auto state = ReadStartIdAndDoF(
      StartIdReply({0, 2, 3, 4, 5}, {0, 0, 0, 7, 14}, {21.0F, 14.0F, 7.0F, 7.0F, 7.0F}), starts,
      dofs);
  EXPECT_EQ(state.code, OK);
  EXPECT_EQ(starts, (StartIds{{JointGroup::ALL, 0},
                              {JointGroup::ARMS, 0},
                              {JointGroup::ARM_1, 0},
                              {JointGroup::ARM_2, 7},
                              {JointGroup::EXT_AXIS, 14}}));
  EXPECT_EQ(dofs, (Dofs{{JointGroup::ALL, 21},
                        {JointGroup::ARMS, 14},
                        {JointGroup::ARM_1, 7},
                        {JointGroup::ARM_2, 7},
                        {JointGroup::EXT_AXIS, 7}}));

  // Truncation toward zero, the last occurrence winning, the largest float below 2^32 and a
  // negative start read as unsigned.
  state = ReadStartIdAndDoF(StartIdReply({3, 3, 4}, {1, -1, 2}, {2.0F, 6.9F, 4294967040.0F}),
                            starts, dofs);
  EXPECT_EQ(state.code, OK);
  EXPECT_EQ(starts, (StartIds{{JointGroup::ARM_1, 4294967295u}, {JointGroup::ARM_2, 2}}));
  EXPECT_EQ(dofs, (Dofs{{JointGroup::ARM_1, 6}, {JointGroup::ARM_2, 4294967040u}}));

  EXPECT_EQ(ReadStartIdAndDoF(StartIdReply({}, {}, {}), starts, dofs).code, OK);
  EXPECT_TRUE(starts.empty());
  EXPECT_TRUE(dofs.empty());
  EXPECT_TRUE(log.Lines().empty());
}

TEST(StartIdReplyTest, MalformedRepliesLeaveTheLayoutUntouched) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  const std::string mismatch =
      "Malformed start ID reply: size mismatch between joint_groups, int_container, and "
      "float_container";
  const std::vector<std::pair<RPCReply, std::string>> cases = {
      {StartIdReply({0, 3}, {0, 0}, {7.0F}), mismatch},
      {StartIdReply({0}, {0, 0}, {7.0F, 7.0F}), mismatch},
      {StartIdReply({0, 3}, {0, 0}, {7.0F, -1.0F}),
       "Malformed start ID reply: invalid DoF [-1] for joint group [3]"},
      {StartIdReply({0}, {0}, {-0.5F}),
       "Malformed start ID reply: invalid DoF [-0.5] for joint group [0]"},
      {StartIdReply({2}, {0}, {nan}),
       "Malformed start ID reply: invalid DoF [nan] for joint group [2]"},
      {StartIdReply({2}, {0}, {inf}),
       "Malformed start ID reply: invalid DoF [inf] for joint group [2]"},
      {StartIdReply({5}, {0}, {4294967296.0F}),
       "Malformed start ID reply: invalid DoF [4294967300] for joint group [5]"},
  };
  for (const auto& [reply, error] : cases) {
    testing::LogCapture log;
    StartIds starts{{JointGroup::ALL, 1}};
    Dofs dofs{{JointGroup::ALL, 2}};
    const RmxState state = ReadStartIdAndDoF(reply, starts, dofs);
    EXPECT_EQ(state.code, FAULT) << error;
    EXPECT_EQ(starts, (StartIds{{JointGroup::ALL, 1}})) << error;
    EXPECT_EQ(dofs, (Dofs{{JointGroup::ALL, 2}})) << error;
    EXPECT_EQ(log.Errors(), std::vector<std::string>{error});
  }
}

RPCReply ManipulabilityReply(std::vector<std::uint16_t> groups,
                             std::vector<std::vector<float>> packed) {
  RPCReply reply;
  reply.request_id = 9;
  reply.success = true;
  reply.joint_groups = std::move(groups);
  reply.float2d_container = std::move(packed);
  return reply;
}

TEST(ManipulabilityTest, ReadsElementsTwoToSevenOfEachPackedVector) {
  testing::LogCapture log;
  ManipulabilityMap out{{JointGroup::UNKNOWN, {}}};
  const std::vector<float> eight = {9, 9, 0.1F, 1, 2, 3, 4, 5};
  const std::vector<float> twelve = {9, 9, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
  auto state = ManipulabilityReply({3, 4, 3}, {eight, twelve, twelve});
  EXPECT_EQ(ReadManipulability(state, out).code, OK);
  EXPECT_EQ(out, (ManipulabilityMap{{JointGroup::ARM_1, {6, 7, 8, 9, 10, 11}},
                                    {JointGroup::ARM_2, {6, 7, 8, 9, 10, 11}}}));
  EXPECT_EQ(ReadManipulability(ManipulabilityReply({0}, {eight}), out).code, OK);
  EXPECT_EQ(out.at(JointGroup::ALL)[0], static_cast<double>(0.1F));
  EXPECT_EQ(ReadManipulability(ManipulabilityReply({}, {}), out).code, OK);
  EXPECT_TRUE(out.empty());
  EXPECT_TRUE(log.Lines().empty());

  out = {{JointGroup::UNKNOWN, {}}};
  EXPECT_EQ(ReadManipulability(ManipulabilityReply({0, 3}, {eight}), out).code, FAULT);
  EXPECT_EQ(out.size(), 1u);
  EXPECT_EQ(
      ReadManipulability(ManipulabilityReply({0, 3}, {eight, {1, 2, 3, 4, 5, 6, 7}}), out).code,
      FAULT);
  EXPECT_EQ(log.Errors(),
            (std::vector<std::string>{
                "Malformed manipulability reply: size mismatch between joint_groups and "
                "float2d_container",
                "Malformed manipulability reply: packed vector size [7], expecting at least [8]"}));
}

TEST(PlanInfoTest, ConvertsTheEightStringsByPosition) {
  testing::LogCapture log;
  quor::PlanInfo info;
  const std::vector<std::string> strings = {"Hold", "n1",   "/a/n1",   "0.25",
                                            "3",    "plan", "0.5 m/s", "2"};
  ASSERT_EQ(ReadPlanInfo(strings, info).code, OK);
  EXPECT_EQ(info.pt_name, "Hold");
  EXPECT_EQ(info.node_name, "n1");
  EXPECT_EQ(info.node_path, "/a/n1");
  EXPECT_EQ(info.node_path_time_period, "0.25");
  EXPECT_EQ(info.node_path_number, "3");
  EXPECT_EQ(info.assigned_plan_name, "plan");
  EXPECT_EQ(info.velocity_scale, 0.5);
  EXPECT_TRUE(info.waiting_for_step);

  auto stopped = strings;
  stopped[6] = " 1e-1";
  stopped[7] = "0";
  ASSERT_EQ(ReadPlanInfo(stopped, info).code, OK);
  EXPECT_EQ(info.velocity_scale, 0.1);
  EXPECT_FALSE(info.waiting_for_step);
  EXPECT_TRUE(log.Lines().empty());
}

TEST(PlanInfoTest, FailuresAreFaults) {
  const std::vector<std::string> good = {"a", "b", "c", "d", "e", "f", "0.75", "1"};
  struct Case {
    std::vector<std::string> strings;
    std::string error;
    double velocity_after;  // what the failed call leaves behind (its earlier steps stay)
  };
  auto with = [&](std::size_t index, std::string text) {
    auto strings = good;
    strings[index] = std::move(text);
    return strings;
  };
  auto nine = good;
  nine.push_back("x");
  const std::string size_error = "[korvel::quor::Client] Size of plan info container is incorrect";
  const std::vector<Case> cases = {
      {nine, size_error, -1.0},
      {{good.begin(), good.end() - 1}, size_error, -1.0},
      {{}, size_error, -1.0},
      {with(7, ""), "Invalid PlanInfo string conversion: stoi", 0.75},
      {with(7, "99999999999"), "Invalid PlanInfo string conversion: stoi", 0.75},
      {with(6, "fast"), "Invalid PlanInfo string conversion: stod", -1.0},
      {with(6, "1e999"), "Invalid PlanInfo string conversion: stod", -1.0},
  };
  for (const auto& c : cases) {
    testing::LogCapture log;
    quor::PlanInfo info;
    info.velocity_scale = -1.0;
    EXPECT_EQ(ReadPlanInfo(c.strings, info).code, FAULT) << c.error;
    EXPECT_EQ(info.velocity_scale, c.velocity_after) << c.error;
    EXPECT_EQ(log.Errors(), std::vector<std::string>{c.error});
  }
}

}  // namespace
}  // namespace korvel::quor_impl
