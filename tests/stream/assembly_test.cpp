#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "stream/assembly.hpp"
#include "stream/assembly_segment.hpp"
#include "tests/support/log_capture.hpp"

namespace korvel::quor_impl {
namespace {

using quor::JointGroup;
using zenoh_msgs::quor_msg::AllBasicStreamData;
using zenoh_msgs::quor_msg::AllExtraStreamData;
using zenoh_msgs::quor_msg::BasicCartesianData;
using zenoh_msgs::quor_msg::ExtraCartesianData;
using Stamp = std::pair<std::int32_t, std::int32_t>;

// A list whose every element differs from every other list's: list l, joint j holds l + j/100.
std::vector<float> Ramp(int list, std::size_t size) {
  std::vector<float> v(size);
  for (std::size_t j = 0; j < size; ++j) v[j] = static_cast<float>(list) + 0.01F * j;
  return v;
}

std::vector<double> Widened(const std::vector<float>& full, std::size_t s, std::size_t n) {
  return {full.begin() + s, full.begin() + s + n};
}

AllBasicStreamData MakeBasic(std::vector<std::uint16_t> indices, std::size_t joints) {
  AllBasicStreamData msg;
  msg.joint_group_indices = std::move(indices);
  auto& d = msg.joint_data;
  int l = 0;
  for (auto* list : {&d.q, &d.theta, &d.dq, &d.dtheta, &d.tau, &d.tau_dot, &d.tau_ext,
                     &d.tau_interact, &d.temperature}) {
    *list = Ramp(++l, joints);
  }
  for (std::size_t i = 0; i < msg.joint_group_indices.size(); ++i) {
    BasicCartesianData c;
    c.flange_pose = {0.1F * i, 0, 0, 1, 0, 0, 0};
    c.tcp_pose = {0, 0, 0, 1, 0, 0, 0};
    c.tcp_wrench_local = {1.5F + i, 0, 0, 0, 0, 0};
    c.raw_ft_sensor = {0, 0, 0, 0, 0, 0.3F};
    msg.cartesian_data.push_back(c);
  }
  msg.timestamp = {12, 34};
  return msg;
}

// The two-arm layout: all joints, both arms, each arm, external axes.
const GroupNames kTwoArmNames{{JointGroup::ALL, "ALL"},
                              {JointGroup::ARMS, "ARMS"},
                              {JointGroup::ARM_1, "ARM_1"},
                              {JointGroup::ARM_2, "ARM_2"},
                              {JointGroup::EXT_AXIS, "EXT_AXIS"}};
const StartIds kTwoArmStarts{{JointGroup::ALL, 0},
                             {JointGroup::ARMS, 0},
                             {JointGroup::ARM_1, 0},
                             {JointGroup::ARM_2, 7},
                             {JointGroup::EXT_AXIS, 14}};
const Dofs kTwoArmDofs{{JointGroup::ALL, 21},
                       {JointGroup::ARMS, 14},
                       {JointGroup::ARM_1, 7},
                       {JointGroup::ARM_2, 7},
                       {JointGroup::EXT_AXIS, 7}};

TEST(JointGroupsFromIndicesTest, NamesEachValidGroupOnceInValueOrder) {
  testing::LogCapture log;
  const GroupNames expected{{JointGroup::ALL, "ALL"}, {JointGroup::ARM_1, "ARM_1"}};
  EXPECT_EQ(Logged(JointGroupsFromIndices({3, 0, 3}, Stream::Basic)), expected);
  EXPECT_TRUE(Logged(JointGroupsFromIndices({}, Stream::Extra)).empty());
  EXPECT_TRUE(log.Lines().empty());
}

TEST(JointGroupsFromIndicesTest, InvalidIndexDiscardsEverything) {
  testing::LogCapture log;
  EXPECT_TRUE(Logged(JointGroupsFromIndices({0, 6}, Stream::Basic)).empty());
  EXPECT_TRUE(Logged(JointGroupsFromIndices({2, 65535}, Stream::Extra)).empty());
  EXPECT_EQ(log.Errors(),
            (std::vector<std::string>{
                "[korvel::quor::Client] The received basic data contains invalid joint group "
                "index [6]",
                "[korvel::quor::Client] The received extra data contains invalid joint group "
                "index [65535]"}));
  try {
    Logged(JointGroupsFromIndices({0, 1}, Stream::Basic));
    FAIL() << "index 1 has no name";
  } catch (const std::out_of_range& e) {
    EXPECT_STREQ(e.what(), "map::at");
  }
}

TEST(SegmentTest, CutsOnlyRunsInsideTheList) {
  struct Case {
    std::size_t size;
    unsigned int start;
    std::size_t dof;
    bool fits;
  };
  const std::vector<Case> cases = {
      {21, 0, 21, true},
      {21, 14, 7, true},
      {21, 21, 0, true},
      {0, 0, 0, true},
      {13, 7, 7, false},
      {21, 22, 0, false},
      {0, 0, 1, false},
      // start + dof wraps around in size_t; it must not pass as a short run.
      {21, 1, std::numeric_limits<std::size_t>::max(), false},
      {21, std::numeric_limits<unsigned int>::max(), 7, false}};
  for (const auto& c : cases) {
    const std::vector<float> full = Ramp(1, c.size);
    std::vector<double> out{42.0};
    EXPECT_EQ(SegmentJointList(full, c.start, c.dof, out), c.fits) << c.start << "+" << c.dof;
    EXPECT_EQ(out, c.fits ? Widened(full, c.start, c.dof) : std::vector<double>{42.0});
  }
}

TEST(AssembleRobotStatesTest, CutsTheTwoArmSampleIntoGroups) {
  testing::LogCapture log;
  const AllBasicStreamData msg = MakeBasic({0, 2, 3, 4, 5}, 21);
  const auto states = Logged(AssembleRobotStates(msg, kTwoArmNames, kTwoArmStarts, kTwoArmDofs));
  ASSERT_EQ(states.size(), 5u);
  std::size_t i = 0;
  for (const auto& [group, record] : states) {
    const std::size_t s = kTwoArmStarts.at(group), n = kTwoArmDofs.at(group);
    const auto& d = msg.joint_data;
    EXPECT_EQ(record.timestamp, (Stamp{12, 34}));
    EXPECT_EQ(record.q, Widened(d.q, s, n));
    EXPECT_EQ(record.tau_dot, Widened(d.tau_dot, s, n));
    EXPECT_EQ(record.temperature, Widened(d.temperature, s, n));
    EXPECT_EQ(record.flange_pose[0], static_cast<double>(0.1F * i));  // exact widening
    EXPECT_EQ(record.raw_ft_sensor[5], static_cast<double>(0.3F));
    EXPECT_EQ(record.tcp_wrench, record.tcp_wrench_local);  // identity orientation
    EXPECT_EQ(record.tcp_wrench[0], 1.5 + static_cast<double>(i));
    ++i;
  }
  EXPECT_EQ(states.at(JointGroup::ARMS).q.size(), 14u);
  EXPECT_EQ(states.at(JointGroup::ARM_1).dq, Widened(msg.joint_data.dq, 0, 7));
  EXPECT_TRUE(log.Lines().empty());
}

TEST(AssembleRobotStatesTest, LayoutEdgeCases) {
  testing::LogCapture log;
  // A group with DoF 0 succeeds with empty joint vectors.
  auto states = Logged(AssembleRobotStates(MakeBasic({0}, 7), {{JointGroup::ALL, "ALL"}},
                                           {{JointGroup::ALL, 3}}, {{JointGroup::ALL, 0}}));
  ASSERT_EQ(states.size(), 1u);
  EXPECT_TRUE(states.at(JointGroup::ALL).q.empty());
  EXPECT_TRUE(states.at(JointGroup::ALL).temperature.empty());

  // Groups in the message but not in group_names (an unnamed number included) get only their
  // Cartesian data and no timestamp.
  AllBasicStreamData msg = MakeBasic({0, 7}, 7);
  msg.timestamp = {-3, 0x80000005u};
  states = Logged(AssembleRobotStates(msg, {}, {}, {}));
  ASSERT_EQ(states.size(), 2u);
  const auto& unnamed = states.at(static_cast<JointGroup>(7));
  EXPECT_EQ(unnamed.timestamp, (Stamp{0, 0}));
  EXPECT_TRUE(unnamed.q.empty());
  EXPECT_EQ(unnamed.tcp_wrench_local[0], 2.5);

  // The second timestamp word keeps its bits and reads negative from 2^31 on.
  states = Logged(AssembleRobotStates(msg, {{JointGroup::ALL, "ALL"}}, {{JointGroup::ALL, 0}},
                                      {{JointGroup::ALL, 7}}));
  EXPECT_EQ(states.at(JointGroup::ALL).timestamp, (Stamp{-3, -2147483643}));
  EXPECT_EQ(StampFromWire({1, 0xFFFFFFFFu}), (Stamp{1, -1}));
  EXPECT_TRUE(log.Lines().empty());
}

// A group named twice takes the Cartesian values of its later position, in both streams.
TEST(AssemblyTest, ARepeatedIndexTakesTheLaterCartesianEntry) {
  testing::LogCapture log;
  const AllBasicStreamData basic = MakeBasic({3, 0, 3}, 7);  // wrenches 1.5, 2.5, 3.5
  const auto states = Logged(AssembleRobotStates(basic, {}, {}, {}));
  ASSERT_EQ(states.size(), 2u);
  EXPECT_EQ(states.at(JointGroup::ARM_1).tcp_wrench_local[0], 3.5);
  EXPECT_EQ(states.at(JointGroup::ARM_1).tcp_wrench[0], 3.5);
  EXPECT_EQ(states.at(JointGroup::ARM_1).flange_pose[0], static_cast<double>(0.2F));

  AllExtraStreamData extra;
  extra.joint_group_indices = {4, 4};
  extra.cartesian_data.resize(2);
  extra.cartesian_data[0].tcp_wrench_d = {1, 0, 0, 0, 0, 0};
  extra.cartesian_data[1].tcp_wrench_d = {2, 0, 0, 0, 0, 0};
  extra.cartesian_data[1].tcp_pose_d = {0, 0, 7, 1, 0, 0, 0};
  const auto actions = Logged(AssembleRobotActions({1, 2}, extra, {}, {}, {}));
  ASSERT_EQ(actions.size(), 1u);
  EXPECT_EQ(actions.at(JointGroup::ARM_2).tcp_wrench_d[0], 2.0);
  EXPECT_EQ(actions.at(JointGroup::ARM_2).tcp_pose_d[2], 7.0);
  EXPECT_TRUE(log.Lines().empty());
}

TEST(AssembleRobotStatesTest, FailuresYieldAnEmptyMapAndOneErrorLine) {
  struct Case {
    const char* name;
    AllBasicStreamData msg;
    StartIds starts;
    Dofs dofs;
    std::string error;
  };
  AllBasicStreamData one_cartesian = MakeBasic({0, 3}, 21);
  one_cartesian.cartesian_data.pop_back();
  AllBasicStreamData short_temperature = MakeBasic({0, 3, 4}, 21);
  short_temperature.joint_data.temperature.resize(20);
  const std::vector<Case> cases = {
      {"mismatched sizes", one_cartesian, kTwoArmStarts, kTwoArmDofs,
       "[korvel::quor::Client] The received data has mismatched sizes: cartesian_data size is 1, "
       "expected number of joint groups is 2"},
      {"missing DoF",
       MakeBasic({0}, 21),
       kTwoArmStarts,
       {{JointGroup::ALL, 21}},
       "[korvel::quor::Client] Missing start ID or DoF metadata for joint group [2]"},
      {"missing start",
       MakeBasic({0}, 21),
       {},
       kTwoArmDofs,
       "[korvel::quor::Client] Missing start ID or DoF metadata for joint group [0]"},
      {"ARM_2 beyond 13 joints",
       MakeBasic({0}, 13),
       kTwoArmStarts,
       {{JointGroup::ALL, 13},
        {JointGroup::ARMS, 13},
        {JointGroup::ARM_1, 7},
        {JointGroup::ARM_2, 7},
        {JointGroup::EXT_AXIS, 0}},
       "[korvel::quor::Client] Failed to segment full-DoF joint data for joint group [4]"},
      {"last list short", short_temperature, kTwoArmStarts, kTwoArmDofs,
       "[korvel::quor::Client] Failed to segment full-DoF joint data for joint group [0]"},
      {"no sample yet", AllBasicStreamData{}, kTwoArmStarts, kTwoArmDofs,
       "[korvel::quor::Client] Failed to segment full-DoF joint data for joint group [0]"},
  };
  for (const auto& c : cases) {
    testing::LogCapture log;
    EXPECT_TRUE(Logged(AssembleRobotStates(c.msg, kTwoArmNames, c.starts, c.dofs)).empty())
        << c.name;
    EXPECT_EQ(log.Errors(), std::vector<std::string>{c.error}) << c.name;
  }
}

// A one-arm client (7 joints when it connected) reading a robot that came back with two
// arms: the arm's slice would still cut out of the longer lists, silently wrong.
TEST(AssemblyTest, ARobotWithAnotherLayoutGivesOneErrorLineAndNoGroups) {
  const GroupNames names{{JointGroup::ALL, "ALL"}, {JointGroup::ARM_1, "ARM_1"}};
  const StartIds starts{{JointGroup::ALL, 0}, {JointGroup::ARM_1, 0}};
  const Dofs dofs{{JointGroup::ALL, 7}, {JointGroup::ARM_1, 7}};
  const AllBasicStreamData two_arm = MakeBasic({0, 2, 3, 4, 5}, 21);
  AllExtraStreamData two_arm_extra;
  two_arm_extra.joint_group_indices = {0, 3};
  two_arm_extra.cartesian_data.resize(2);
  two_arm_extra.joint_data = {Ramp(1, 21), Ramp(2, 21), Ramp(3, 21)};
  {
    testing::LogCapture log;
    EXPECT_TRUE(Logged(AssembleRobotStates(two_arm, names, starts, dofs, 7)).empty());
    EXPECT_TRUE(
        Logged(AssembleRobotActions({1, 2}, two_arm_extra, names, starts, dofs, 7)).empty());
    EXPECT_EQ(log.Errors(),
              (std::vector<std::string>{
                  "[korvel::quor::Client] The robot's joint layout has changed: its joint lists "
                  "hold 21 joints, 7 when this client connected; create a new client",
                  "[korvel::quor::Client] The robot's joint layout has changed: its desired "
                  "joint lists hold 21 joints, 7 when this client connected; create a new "
                  "client"}));
  }
  {
    // Back with fewer joints than at connection: every group still cuts, yet the layout
    // is not the one learnt.
    testing::LogCapture log;
    EXPECT_TRUE(Logged(AssembleRobotStates(MakeBasic({0, 3}, 7), names, starts, dofs, 21)).empty());
    EXPECT_EQ(log.Errors(), (std::vector<std::string>{
                                "[korvel::quor::Client] The robot's joint layout has changed: its "
                                "joint lists hold 7 joints, 21 when this client connected; "
                                "create a new client"}));
  }
  testing::LogCapture log;
  EXPECT_EQ(Logged(AssembleRobotStates(MakeBasic({0, 3}, 7), names, starts, dofs, 7)).size(), 2u);
  EXPECT_EQ(Logged(AssembleRobotStates(two_arm, names, starts, dofs, 0)).size(),
            5u);  // count unknown
  EXPECT_TRUE(log.Lines().empty());
}

// Readers of many samples take ok() of the unlogged assembly as whether a sample fits: it
// must agree with what states() answers on every sample, or a row would differ from it.
TEST(AssemblyTest, TheFitCheckAgreesWithTheAssembly) {
  AllBasicStreamData short_q = MakeBasic({0, 3, 4}, 21);
  short_q.joint_data.q.resize(20);
  AllBasicStreamData one_cartesian = MakeBasic({0, 3}, 21);
  one_cartesian.cartesian_data.pop_back();
  const std::pair<AllBasicStreamData, std::size_t> cases[] = {{MakeBasic({0, 2, 3, 4, 5}, 21), 21},
                                                              {MakeBasic({0, 2, 3, 4, 5}, 21), 7},
                                                              {MakeBasic({0}, 13), 0},
                                                              {short_q, 21},
                                                              {one_cartesian, 0},
                                                              {AllBasicStreamData{}, 0},
                                                              {MakeBasic({0, 3}, 22), 21}};
  for (const auto& [msg, count] : cases) {
    testing::LogCapture log;
    const bool assembled =
        !Logged(AssembleRobotStates(msg, kTwoArmNames, kTwoArmStarts, kTwoArmDofs, count)).empty();
    EXPECT_EQ(AssembleRobotStates(msg, kTwoArmNames, kTwoArmStarts, kTwoArmDofs, count).ok(),
              assembled)
        << msg.joint_data.q.size() << " joints, count " << count;
  }
}

// The assembly itself logs nothing: a failure comes back with the very line its caller
// logs, so that readers of many samples can skip it without a line per sample.
TEST(AssemblyTest, FailuresComeBackUnloggedWithTheirLine) {
  testing::LogCapture log;
  AllBasicStreamData one_cartesian = MakeBasic({0, 3}, 21);
  one_cartesian.cartesian_data.pop_back();
  const auto states = AssembleRobotStates(one_cartesian, kTwoArmNames, kTwoArmStarts, kTwoArmDofs);
  EXPECT_FALSE(states.ok());
  EXPECT_TRUE(states.value.empty());
  EXPECT_EQ(states.error,
            "[korvel::quor::Client] The received data has mismatched sizes: cartesian_data size "
            "is 1, expected number of joint groups is 2");
  const auto actions = AssembleRobotActions({1, 2}, AllExtraStreamData{}, kTwoArmNames,
                                            kTwoArmStarts, kTwoArmDofs, 7);
  EXPECT_EQ(actions.error,
            "[korvel::quor::Client] Failed to segment desired joint data for joint group [0]");
  const auto groups = JointGroupsFromIndices({0, 6}, Stream::Extra);
  EXPECT_TRUE(groups.value.empty());
  EXPECT_EQ(groups.error,
            "[korvel::quor::Client] The received extra data contains invalid joint group index "
            "[6]");
  const auto contacts =
      AssembleMultiContactForces(MakeBasic({0}, 7), kTwoArmNames, kTwoArmStarts, kTwoArmDofs);
  EXPECT_EQ(contacts.error,
            "[korvel::quor::Client] Failed to segment multi-contact forces for joint group [0]");
  EXPECT_TRUE(log.Lines().empty());
  EXPECT_TRUE(
      AssembleRobotStates(MakeBasic({0, 3}, 21), kTwoArmNames, kTwoArmStarts, kTwoArmDofs).ok());
}

TEST(AssembleRobotActionsTest, StampsWithTheGivenTimeAndPassesTheWrenchThrough) {
  testing::LogCapture log;
  AllExtraStreamData msg;
  msg.joint_group_indices = {0};
  msg.joint_data = {Ramp(1, 7), Ramp(2, 7), Ramp(3, 7)};
  ExtraCartesianData c;
  c.tcp_pose_d = {0.1F, 0, 0, 0, 0, 0, 1};  // a half turn that must not be applied
  c.tcp_twist_d = {0, 0.2F, 0, 0, 0, 0};
  c.tcp_wrench_d = {1, 0, 0, 0, 0, 0};
  msg.cartesian_data = {c};
  const auto actions = Logged(AssembleRobotActions({5, -6}, msg, {{JointGroup::ALL, "ALL"}},
                                                   {{JointGroup::ALL, 0}}, {{JointGroup::ALL, 7}}));
  ASSERT_EQ(actions.size(), 1u);
  const auto& a = actions.at(JointGroup::ALL);
  EXPECT_EQ(a.timestamp, (Stamp{5, -6}));
  EXPECT_EQ(a.q_d, Widened(msg.joint_data.q_d, 0, 7));
  EXPECT_EQ(a.dq_d, Widened(msg.joint_data.dq_d, 0, 7));
  EXPECT_EQ(a.tau_d, Widened(msg.joint_data.tau_d, 0, 7));
  EXPECT_EQ(a.tcp_pose_d[0], static_cast<double>(0.1F));
  EXPECT_EQ(a.tcp_twist_d[1], static_cast<double>(0.2F));
  EXPECT_EQ(a.tcp_wrench_d, (std::array<double, 6>{1, 0, 0, 0, 0, 0}));

  msg.joint_group_indices = {3};
  const auto cartesian_only = Logged(AssembleRobotActions({5, 6}, msg, {}, {}, {}));
  ASSERT_EQ(cartesian_only.size(), 1u);
  EXPECT_EQ(cartesian_only.at(JointGroup::ARM_1).timestamp, (Stamp{0, 0}));
  EXPECT_TRUE(cartesian_only.at(JointGroup::ARM_1).q_d.empty());
  EXPECT_TRUE(log.Lines().empty());
}

TEST(AssembleRobotActionsTest, FailuresYieldAnEmptyMapAndOneErrorLine) {
  AllExtraStreamData mismatched;
  mismatched.joint_group_indices = {0, 3};
  mismatched.cartesian_data.resize(1);
  AllExtraStreamData short_tau;
  short_tau.joint_data = {Ramp(1, 7), Ramp(2, 7), Ramp(3, 6)};
  const std::vector<std::pair<AllExtraStreamData, std::string>> cases = {
      {mismatched,
       "[korvel::quor::Client] The received desired data has mismatched sizes: cartesian_data "
       "size is 1, expected number of joint groups is 2"},
      {AllExtraStreamData{},
       "[korvel::quor::Client] Failed to segment desired joint data for joint group [0]"},
      {short_tau,
       "[korvel::quor::Client] Failed to segment desired joint data for joint group [0]"}};
  for (const auto& [msg, error] : cases) {
    testing::LogCapture log;
    EXPECT_TRUE(Logged(AssembleRobotActions({1, 1}, msg, {{JointGroup::ALL, "ALL"}},
                                            {{JointGroup::ALL, 0}}, {{JointGroup::ALL, 7}}))
                    .empty());
    EXPECT_EQ(log.Errors(), std::vector<std::string>{error});
  }
  testing::LogCapture log;
  EXPECT_TRUE(
      Logged(AssembleRobotActions({1, 1}, {}, {{JointGroup::ARM_2, "ARM_2"}}, {}, {})).empty());
  EXPECT_EQ(log.Errors(), std::vector<std::string>{"[korvel::quor::Client] Missing start ID or "
                                                   "DoF metadata for joint group [4]"});
}

TEST(MultiContactTest, CutsPerGroupOrFailsWithItsOwnLine) {
  AllBasicStreamData msg;
  for (std::size_t j = 0; j < 21; ++j) {
    msg.joint_data.contact_positions.push_back({0.1F * j, 1, 2});
    msg.joint_data.contact_forces.push_back({3, 4, 0.2F * j});
  }
  const GroupNames arm2{{JointGroup::ARM_2, "ARM_2"}};
  testing::LogCapture log;
  const auto positions =
      Logged(AssembleMultiContactPositions(msg, arm2, kTwoArmStarts, kTwoArmDofs));
  const auto forces = Logged(AssembleMultiContactForces(msg, arm2, kTwoArmStarts, kTwoArmDofs));
  ASSERT_EQ(positions.at(JointGroup::ARM_2).size(), 7u);
  EXPECT_EQ(positions.at(JointGroup::ARM_2)[0], Eigen::Vector3d(0.7F, 1, 2));
  EXPECT_EQ(forces.at(JointGroup::ARM_2)[6], Eigen::Vector3d(3, 4, 0.2F * 13));
  EXPECT_TRUE(log.Lines().empty());

  msg.joint_data.contact_positions.resize(13);
  msg.joint_data.contact_forces.resize(13);
  EXPECT_TRUE(Logged(AssembleMultiContactPositions(msg, arm2, kTwoArmStarts, kTwoArmDofs)).empty());
  EXPECT_TRUE(Logged(AssembleMultiContactForces(msg, arm2, kTwoArmStarts, kTwoArmDofs)).empty());
  EXPECT_TRUE(Logged(AssembleMultiContactForces(msg, arm2, {}, kTwoArmDofs)).empty());
  EXPECT_EQ(log.Errors(),
            (std::vector<std::string>{
                "[korvel::quor::Client] Failed to segment multi-contact positions for joint "
                "group [4]",
                "[korvel::quor::Client] Failed to segment multi-contact forces for joint group [4]",
                "[korvel::quor::Client] Missing start ID or DoF metadata for joint group [4]"}));
}

}  // namespace
}  // namespace korvel::quor_impl
