// Per-group assembly of one cached stream message on the two-arm layout (all joints, both
// arms, each arm, external axes over 21 joints): the work every states()/actions() call does
// under the stream's lock.

#include <benchmark/benchmark.h>

#include "bench/two_arm_layout.hpp"
#include "stream/assembly.hpp"

namespace {

using namespace korvel::quor_impl;
using korvel::zenoh_msgs::quor_msg::AllBasicStreamData;
using korvel::zenoh_msgs::quor_msg::AllExtraStreamData;

constexpr std::size_t kJoints = 21;
const std::vector<std::uint16_t> kIndices = {0, 2, 3, 4, 5};
using korvel::bench::kTwoArmDofs, korvel::bench::kTwoArmNames, korvel::bench::kTwoArmStarts;

std::vector<float> Ramp(float base) {
  std::vector<float> v(kJoints);
  for (std::size_t j = 0; j < kJoints; ++j) v[j] = base + 0.01F * static_cast<float>(j);
  return v;
}

AllBasicStreamData BasicSample() {
  AllBasicStreamData msg;
  msg.joint_group_indices = kIndices;
  auto& d = msg.joint_data;
  float base = 1;
  for (auto* list : {&d.q, &d.theta, &d.dq, &d.dtheta, &d.tau, &d.tau_dot, &d.tau_ext,
                     &d.tau_interact, &d.temperature}) {
    *list = Ramp(base++);
  }
  for (std::size_t i = 0; i < kIndices.size(); ++i) {
    korvel::zenoh_msgs::quor_msg::BasicCartesianData c;
    c.tcp_pose = {0.4F, 0.1F, 0.6F, 0.5F, 0.5F, 0.5F, 0.5F};
    c.tcp_wrench_local = {1, 2, 3, 0.1F, 0.2F, 0.3F};
    c.raw_tcp_wrench_local = {1.1F, 2.1F, 3.1F, 0.1F, 0.2F, 0.3F};
    msg.cartesian_data.push_back(c);
  }
  msg.timestamp = {1700000000, 123456789};
  return msg;
}

AllExtraStreamData ExtraSample() {
  AllExtraStreamData msg;
  msg.joint_group_indices = kIndices;
  msg.joint_data = {Ramp(1), Ramp(2), Ramp(3)};
  msg.cartesian_data.resize(kIndices.size());
  return msg;
}

void BM_AssembleRobotStates(benchmark::State& state) {
  const AllBasicStreamData msg = BasicSample();
  for (auto _ : state) {
    auto result = Logged(AssembleRobotStates(msg, kTwoArmNames, kTwoArmStarts, kTwoArmDofs));
    benchmark::DoNotOptimize(result);
  }
}
BENCHMARK(BM_AssembleRobotStates)->Repetitions(15)->ReportAggregatesOnly(true);

void BM_AssembleRobotActions(benchmark::State& state) {
  const AllExtraStreamData msg = ExtraSample();
  for (auto _ : state) {
    auto result = Logged(
        AssembleRobotActions({1700000000, 42}, msg, kTwoArmNames, kTwoArmStarts, kTwoArmDofs));
    benchmark::DoNotOptimize(result);
  }
}
BENCHMARK(BM_AssembleRobotActions)->Repetitions(15)->ReportAggregatesOnly(true);

}  // namespace

BENCHMARK_MAIN();
