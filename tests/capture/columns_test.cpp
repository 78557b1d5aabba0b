#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "capture/capture_core.hpp"
#include "capture/column_builder.hpp"
#include "stream/assembly.hpp"
#include "stream/record_fields.hpp"
#include "tests/support/log_capture.hpp"

namespace korvel::quor_impl {
namespace {

using quor::JointGroup;
using zenoh_msgs::quor_msg::AllBasicStreamData;
using zenoh_msgs::quor_msg::AllExtraStreamData;

std::vector<float> Ramp(float base, std::size_t n) {
  std::vector<float> v(n);
  for (std::size_t j = 0; j < n; ++j) v[j] = base + 0.01F * static_cast<float>(j);
  return v;
}

CapturedSample<AllBasicStreamData> Basic(std::vector<std::uint16_t> indices, std::size_t joints,
                                         std::uint64_t seq) {
  CapturedSample<AllBasicStreamData> s;
  s.seq = seq;
  s.decoded = true;
  auto& m = s.message;
  m.joint_group_indices = std::move(indices);
  float base = 1.0F + static_cast<float>(seq);
  for (auto* list : {&m.joint_data.q, &m.joint_data.theta, &m.joint_data.dq, &m.joint_data.dtheta,
                     &m.joint_data.tau, &m.joint_data.tau_dot, &m.joint_data.tau_ext,
                     &m.joint_data.tau_interact, &m.joint_data.temperature}) {
    *list = Ramp(base += 10.0F, joints);
  }
  for (std::size_t i = 0; i < m.joint_group_indices.size(); ++i) {
    zenoh_msgs::quor_msg::BasicCartesianData c;
    c.tcp_pose = {0.1F * static_cast<float>(i), 0.2F, 0.3F, 0.0F, 0.0F, 0.0F, 1.0F};
    c.flange_pose = {1.0F, 2.0F, 3.0F, 1.0F, 0.0F, 0.0F, 0.0F};
    c.tcp_wrench_local = {1.0F + static_cast<float>(i), 2.0F, 3.0F, 0.5F, 0.25F, 0.125F};
    c.raw_tcp_wrench_local = {4.0F, 5.0F, 6.0F, 0.0F, 0.0F, 1.0F};
    m.cartesian_data.push_back(c);
  }
  m.timestamp = {100 + static_cast<std::int32_t>(seq), 7};
  s.robot_time = StampFromWire(m.timestamp);
  return s;
}

CapturedSample<AllExtraStreamData> Extra(std::vector<std::uint16_t> indices, std::size_t joints) {
  CapturedSample<AllExtraStreamData> s;
  s.decoded = true;
  s.robot_time = {5, 6};
  auto& m = s.message;
  m.joint_group_indices = std::move(indices);
  m.joint_data = {Ramp(1.0F, joints), Ramp(2.0F, joints), Ramp(3.0F, joints)};
  m.cartesian_data.resize(m.joint_group_indices.size());
  for (auto& c : m.cartesian_data) c.tcp_pose_d = {1, 2, 3, 1, 0, 0, 0};
  return s;
}

std::vector<double> Row(const std::vector<double>& column, std::size_t row, std::size_t width) {
  return {column.begin() + static_cast<std::ptrdiff_t>(row * width),
          column.begin() + static_cast<std::ptrdiff_t>((row + 1) * width)};
}

template <std::size_t N>
std::vector<double> Values(const std::array<double, N>& a) {
  return {a.begin(), a.end()};
}

ClientLayout TwoArm(GroupNames names) {
  ClientLayout l;
  l.group_names = std::move(names);
  l.start_ids = {{JointGroup::ALL, 0},
                 {JointGroup::ARMS, 0},
                 {JointGroup::ARM_1, 0},
                 {JointGroup::ARM_2, 7},
                 {JointGroup::EXT_AXIS, 14}};
  l.dofs = {{JointGroup::ALL, 16},
            {JointGroup::ARMS, 14},
            {JointGroup::ARM_1, 7},
            {JointGroup::ARM_2, 7},
            {JointGroup::EXT_AXIS, 2}};
  return l;
}

// Every row of every group holds what the assembly behind states() gives for its sample:
// for a client that learnt its groups, and for one that connected while the robot was
// silent (no group names: each group the message names gets its Cartesian values only).
TEST(ColumnBuilderTest, RowsHoldWhatStatesGivesForTheSameSample) {
  const GroupNames all_names{{JointGroup::ALL, "ALL"},
                             {JointGroup::ARMS, "ARMS"},
                             {JointGroup::ARM_1, "ARM_1"},
                             {JointGroup::ARM_2, "ARM_2"},
                             {JointGroup::EXT_AXIS, "EXT_AXIS"}};
  struct Case {
    const char* what;
    ClientLayout layout;
    std::size_t groups;
  };
  ClientLayout learnt = TwoArm(all_names);
  learnt.joint_count = 16;
  ClientLayout silent = TwoArm({});
  ClientLayout arm_only = TwoArm({{JointGroup::ARM_1, "ARM_1"}});
  arm_only.joint_count = 16;
  const Case cases[] = {{"learnt", learnt, 5}, {"silent", silent, 5}, {"arm only", arm_only, 5}};
  // The second sample names one group fewer: rows of a group a sample lacks hold NaN.
  const std::vector<CapturedSample<AllBasicStreamData>> samples = {
      Basic({0, 2, 3, 4, 5}, 16, 0), Basic({0, 2, 3, 4}, 16, 1), Basic({0, 2, 3, 4, 5}, 16, 2)};
  // Appended at once, and a sample per append as a drain's chunks come: a group that a
  // later chunk does not name still gets its rows.
  for (const std::size_t chunk : {std::size_t{3}, std::size_t{1}}) {
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(c.what) + ", chunks of " + std::to_string(chunk));
      testing::LogCapture log;
      quor::BasicBatch batch;
      for (std::size_t i = 0; i < samples.size(); i += chunk) {
        const std::vector<CapturedSample<AllBasicStreamData>> part(
            samples.begin() + static_cast<std::ptrdiff_t>(i),
            samples.begin() + static_cast<std::ptrdiff_t>(std::min(i + chunk, samples.size())));
        Append<Stream::Basic>(part, part.size(), c.layout, false, batch);
      }
      ASSERT_EQ(batch.rows, 3u);
      ASSERT_EQ(batch.groups.size(), c.groups);
      for (const auto& [g, col] : batch.groups) {
        ASSERT_EQ(col.tcp_pose.size(), batch.rows * 7) << static_cast<int>(g);
        ASSERT_EQ(col.q.size(), batch.rows * col.dof) << static_cast<int>(g);
      }
      for (std::size_t row = 0; row < samples.size(); ++row) {
        const auto states =
            Logged(AssembleRobotStates(samples[row].message, c.layout.group_names,
                                       c.layout.start_ids, c.layout.dofs, c.layout.joint_count));
        for (const auto& [g, col] : batch.groups) {
          const auto found = states.find(g);
          if (found == states.end()) {
            EXPECT_TRUE(std::isnan(Row(col.tcp_pose, row, 7)[0])) << static_cast<int>(g);
            continue;
          }
          const quor::RobotStates& r = found->second;
          EXPECT_EQ(col.dof, r.q.size()) << static_cast<int>(g);
          EXPECT_EQ(Row(col.q, row, col.dof), r.q);
          EXPECT_EQ(Row(col.temperature, row, col.dof), r.temperature);
          EXPECT_EQ(Row(col.tcp_pose, row, 7), Values(r.tcp_pose));
          EXPECT_EQ(Row(col.tcp_wrench, row, 6), Values(r.tcp_wrench));
          EXPECT_EQ(Row(col.raw_tcp_wrench, row, 6), Values(r.raw_tcp_wrench));
        }
      }
      EXPECT_TRUE(log.Lines().empty());
    }
  }
}

// Every field's column holds that field and no other: each list and array of the sample
// has values of its own, and every column is compared by name with the record's field.
TEST(ColumnBuilderTest, EveryColumnHoldsItsOwnField) {
  ClientLayout layout = TwoArm({{JointGroup::ARM_2, "ARM_2"}});
  CapturedSample<AllBasicStreamData> basic = Basic({3, 4}, 16, 0);
  float v = 100.0F;
  for (auto& c : basic.message.cartesian_data) {
    for (auto* a : {&c.tcp_twist, &c.tcp_wrench_local, &c.raw_tcp_wrench_local, &c.raw_ft_sensor,
                    &c.ignored_6}) {
      for (float& x : *a) x = (v += 1.0F);
    }
  }
  quor::BasicBatch states_batch;
  Append<Stream::Basic>({basic}, 1, layout, false, states_batch);
  const quor::RobotStates r =
      Logged(AssembleRobotStates(basic.message, layout.group_names, layout.start_ids, layout.dofs))
          .at(JointGroup::ARM_2);
  const quor::StateColumns& s = states_batch.groups.at(JointGroup::ARM_2);
  ASSERT_EQ(s.dof, 7u);
  EXPECT_EQ(s.q, r.q);
  EXPECT_EQ(s.theta, r.theta);
  EXPECT_EQ(s.dq, r.dq);
  EXPECT_EQ(s.dtheta, r.dtheta);
  EXPECT_EQ(s.tau, r.tau);
  EXPECT_EQ(s.tau_dot, r.tau_dot);
  EXPECT_EQ(s.tau_ext, r.tau_ext);
  EXPECT_EQ(s.tau_interact, r.tau_interact);
  EXPECT_EQ(s.temperature, r.temperature);
  EXPECT_EQ(s.flange_pose, Values(r.flange_pose));
  EXPECT_EQ(s.tcp_pose, Values(r.tcp_pose));
  EXPECT_EQ(s.tcp_twist, Values(r.tcp_twist));
  EXPECT_EQ(s.tcp_wrench, Values(r.tcp_wrench));
  EXPECT_EQ(s.tcp_wrench_local, Values(r.tcp_wrench_local));
  EXPECT_EQ(s.raw_tcp_wrench, Values(r.raw_tcp_wrench));
  EXPECT_EQ(s.raw_tcp_wrench_local, Values(r.raw_tcp_wrench_local));
  EXPECT_EQ(s.raw_ft_sensor, Values(r.raw_ft_sensor));

  CapturedSample<AllExtraStreamData> extra = Extra({3, 4}, 16);
  for (auto& c : extra.message.cartesian_data) {
    for (auto* a : {&c.tcp_twist_d, &c.tcp_wrench_d}) {
      for (float& x : *a) x = (v += 1.0F);
    }
  }
  quor::ExtraBatch actions_batch;
  Append<Stream::Extra>({extra}, 1, layout, false, actions_batch);
  const quor::RobotActions a =
      Logged(AssembleRobotActions({0, 0}, extra.message, layout.group_names, layout.start_ids,
                                  layout.dofs))
          .at(JointGroup::ARM_2);
  const quor::ActionColumns& d = actions_batch.groups.at(JointGroup::ARM_2);
  EXPECT_EQ(d.q_d, a.q_d);
  EXPECT_EQ(d.dq_d, a.dq_d);
  EXPECT_EQ(d.tau_d, a.tau_d);
  EXPECT_EQ(d.tcp_pose_d, Values(a.tcp_pose_d));
  EXPECT_EQ(d.tcp_twist_d, Values(a.tcp_twist_d));
  EXPECT_EQ(d.tcp_wrench_d, Values(a.tcp_wrench_d));
}

template <class Values>
std::vector<double> AsVector(const Values& v) {
  return {v.begin(), v.end()};
}

// Every column of every row against the assembly's record for the same sample (NaN where the
// assembly gives no record of the group), and layout_ok against whether it gave any.
template <Stream S, class Message>
void ExpectRowsAsAssembled(const std::vector<CapturedSample<Message>>& samples,
                           const ClientLayout& layout, const BatchOf<S>& batch) {
  using Record = typename StreamTraits<S>::Record;
  ASSERT_EQ(batch.rows, samples.size());
  for (std::size_t row = 0; row < samples.size(); ++row) {
    const auto assembled = [&] {
      if constexpr (S == Stream::Basic) {
        return AssembleRobotStates(samples[row].message, layout.group_names, layout.start_ids,
                                   layout.dofs, layout.joint_count);
      } else {
        return AssembleRobotActions({0, 0}, samples[row].message, layout.group_names,
                                    layout.start_ids, layout.dofs,
                                    layout.extra_joint_count.value_or(0));
      }
    }();
    EXPECT_EQ(batch.layout_ok[row], assembled.ok() ? 1 : 0) << "row " << row;
    for (const auto& [g, r] : assembled.value) {
      EXPECT_TRUE(batch.groups.contains(g)) << "row " << row << " group " << static_cast<int>(g);
    }
    for (const auto& [g, col] : batch.groups) {
      const auto found = assembled.value.find(g);
      ForEachPair(FieldsOf<Record>(), ColumnsOf<S>::Fields(), [&](const auto& field, auto column) {
        const std::vector<double> got = Row(col.*column, row, field.Width(col.dof));
        const std::string where = "row " + std::to_string(row) + " group " +
                                  std::to_string(static_cast<int>(g)) + " " + field.name;
        if (found == assembled.value.end()) {
          for (const double x : got) EXPECT_TRUE(std::isnan(x)) << where;
        } else {
          EXPECT_EQ(got, AsVector(found->second.*field.member)) << where;
        }
      });
    }
  }
}

// Messages the assembly refuses or reads in its less common ways: rows written straight
// from the message must hold what its records hold, field by field.
TEST(ColumnBuilderTest, RowsOfUnusualMessagesHoldWhatTheAssemblyGives) {
  const GroupNames arms{{JointGroup::ARM_1, "ARM_1"}, {JointGroup::ARM_2, "ARM_2"}};
  ClientLayout learnt = TwoArm(arms);
  ClientLayout no_start = TwoArm(arms);
  no_start.start_ids.erase(JointGroup::ARM_2);
  ClientLayout counted = TwoArm(arms);
  counted.joint_count = 16;
  counted.extra_joint_count = 16;
  const auto uneven = [] {  // two groups named, one Cartesian entry
    auto b = Basic({3, 4}, 16, 4);
    b.message.cartesian_data.pop_back();
    auto e = Extra({3, 4}, 16);
    e.message.cartesian_data.pop_back();
    return std::pair{b, e};
  }();
  struct Case {
    const char* what;
    ClientLayout layout;
    CapturedSample<AllBasicStreamData> basic;
    CapturedSample<AllExtraStreamData> extra;
  };
  const Case cases[] = {
      // The later of two entries for one group wins, the world-frame wrench derived from it.
      {"a group named twice", learnt, Basic({3, 0, 3}, 16, 1), Extra({3, 0, 3}, 16)},
      {"a group named that the layout lacks", learnt, Basic({1, 4}, 16, 2), Extra({1, 4}, 16)},
      {"lists too short for a group", learnt, Basic({3, 4}, 10, 3), Extra({3, 4}, 10)},
      {"entries fewer than groups", learnt, uneven.first, uneven.second},
      {"a group without its start", no_start, Basic({3, 4}, 16, 5), Extra({3, 4}, 16)},
      {"lists longer than the robot's", counted, Basic({3, 4}, 17, 6), Extra({3, 4}, 17)},
      {"a named group not in the message", learnt, Basic({3}, 16, 7), Extra({3}, 16)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    // Each case after a sample that fits, so the rows of a refused sample follow real ones.
    const std::vector<CapturedSample<AllBasicStreamData>> basic = {Basic({3, 4}, 16, 0), c.basic};
    const std::vector<CapturedSample<AllExtraStreamData>> extra = {Extra({3, 4}, 16), c.extra};
    quor::BasicBatch states;
    Append<Stream::Basic>(basic, basic.size(), c.layout, false, states);
    ExpectRowsAsAssembled<Stream::Basic>(basic, c.layout, states);
    quor::ExtraBatch actions;
    Append<Stream::Extra>(extra, extra.size(), c.layout, false, actions);
    ExpectRowsAsAssembled<Stream::Extra>(extra, c.layout, actions);
  }
}

// Each stream is checked against its own length: extra lists longer than the basic ones
// are the robot's layout, not a change of it.
TEST(ColumnBuilderTest, TheExtraStreamIsCheckedAgainstItsOwnLength) {
  ClientLayout layout = TwoArm({{JointGroup::ALL, "ALL"}, {JointGroup::ARM_1, "ARM_1"}});
  layout.joint_count = 16;
  const std::vector<CapturedSample<AllExtraStreamData>> samples = {Extra({0, 3}, 18),
                                                                   Extra({0, 3}, 16)};
  struct Case {
    std::optional<std::size_t> extra_count;
    std::vector<std::uint8_t> fits;
  };
  const Case cases[] = {{18, {1, 0}}, {16, {0, 1}}, {std::nullopt, {1, 1}}};
  for (const auto& c : cases) {
    layout.extra_joint_count = c.extra_count;
    testing::LogCapture log;
    quor::ExtraBatch batch;
    Append<Stream::Extra>(samples, samples.size(), layout, false, batch);
    EXPECT_EQ(batch.layout_ok, c.fits) << c.extra_count.value_or(0);
    const double q6 = Row(batch.groups.at(JointGroup::ARM_1).q_d, 0, 7)[6];
    if (c.fits[0] != 0) {
      EXPECT_EQ(q6, static_cast<double>(Ramp(1.0F, 18)[6]));
    } else {
      EXPECT_TRUE(std::isnan(q6));
    }
    EXPECT_TRUE(log.Lines().empty());
  }
}

}  // namespace
}  // namespace korvel::quor_impl

namespace korvel::quor_impl {
namespace {

// A capture stamps extra rows as actions() stamps its records: with the client's latest
// basic timestamp, also before the capture's own first basic sample; and it learns the
// extra stream's length as the client does, from the first extra sample.
TEST(CaptureCoreTest, ExtraRowsAreStampedAndCheckedAsActionsDoes) {
  ClientLayout layout = TwoArm({{JointGroup::ALL, "ALL"}, {JointGroup::ARM_1, "ARM_1"}});
  layout.joint_count = 16;
  CaptureCore core(layout, 100, false, 1 << 20);
  core.Seed({41, -5}, std::nullopt);
  const auto deliver_extra = [&](std::size_t joints) {
    const auto s = Extra({0, 3}, joints);
    core.OnSample(SampleTime{}, zenoh::ByteView(), &s.message);
  };
  deliver_extra(18);
  const auto basic = Basic({0, 3}, 16, 9);
  core.OnSample(SampleTime{}, zenoh::ByteView(), &basic.message);
  deliver_extra(16);
  const quor::CaptureBatch batch = core.Drain();
  EXPECT_EQ(batch.extra.robot_time, (std::vector<std::int32_t>{41, -5, 109, 7}));
  EXPECT_EQ(batch.extra.layout_ok, (std::vector<std::uint8_t>{1, 0}));
}

}  // namespace
}  // namespace korvel::quor_impl
