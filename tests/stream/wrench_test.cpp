#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <string>
#include <vector>

#include "stream/assembly.hpp"

namespace korvel::quor_impl {
namespace {

using Six = std::array<double, 6>;

TEST(SetExtWrenchInWorldTest, RotatesForceAndMomentByTheTcpOrientation) {
  const float c45 = std::cos(static_cast<float>(M_PI / 4));
  const float s45 = std::sin(static_cast<float>(M_PI / 4));
  struct Case {
    std::string name;
    std::array<double, 4> wxyz;
    Six local;
    Six world;
    double tolerance;  // 0: exact
  };
  const std::vector<Case> cases = {
      {"identity", {1, 0, 0, 0}, {1, 2, 3, 4, 5, 6}, {1, 2, 3, 4, 5, 6}, 0},
      {"unnormalised half turn about z",
       {0, 0, 0, 2},
       {1, 2, 3, 1, 2, 3},
       {-1, -2, 3, -1, -2, 3},
       0},
      // Half angle 45 degrees: a quarter turn about z.
      {"cos/sin 45 degrees about z as float32",
       {c45, 0, 0, s45},
       {1, 0, 0, 0, 0, 1},
       {0, 1, 0, 0, 0, 1},
       1e-7},
      {"zero quaternion copies", {0, 0, 0, 0}, {1, 2, 3, 4, 5, 6}, {1, 2, 3, 4, 5, 6}, 0},
      {"quarter turn about x",
       {M_SQRT1_2, M_SQRT1_2, 0, 0},
       {0, 1, 0, 0, 0, 1},
       {0, 0, 1, 0, -1, 0},
       1e-15},
  };
  for (const auto& c : cases) {
    quor::RobotStates states;
    states.tcp_pose = {9, 9, 9, c.wxyz[0], c.wxyz[1], c.wxyz[2], c.wxyz[3]};
    const auto pose = states.tcp_pose;
    states.tcp_wrench_local = c.local;
    for (std::size_t j = 0; j < 6; ++j) states.raw_tcp_wrench_local[j] = 2 * c.local[j];
    SetExtWrenchInWorld(states);
    for (std::size_t j = 0; j < 6; ++j) {
      if (c.tolerance == 0) {
        EXPECT_EQ(states.tcp_wrench[j], c.world[j]) << c.name << " element " << j;
        EXPECT_EQ(states.raw_tcp_wrench[j], 2 * c.world[j]) << c.name << " element " << j;
      } else {
        EXPECT_NEAR(states.tcp_wrench[j], c.world[j], c.tolerance) << c.name << " element " << j;
        EXPECT_NEAR(states.raw_tcp_wrench[j], 2 * c.world[j], 2 * c.tolerance) << c.name;
      }
    }
    EXPECT_EQ(states.tcp_pose, pose) << c.name << ": the pose is not normalised in place";
    EXPECT_EQ(states.tcp_wrench_local, c.local) << c.name;
  }
}

}  // namespace
}  // namespace korvel::quor_impl
