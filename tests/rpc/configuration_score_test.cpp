#include <gtest/gtest.h>

#include <limits>
#include <vector>

#include "rpc/configuration_score.hpp"

namespace korvel::quor_impl {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Compared exactly: the robot's reference computes the same operations in the same order.
// 0.08448 and 0.08462 tell the exact middle divisors from the decimal 0.07 and 0.22.
TEST(ConfigurationScoreTest, ScoresMatchTheReferenceToTheLastDigit) {
  const std::vector<std::pair<double, double>> first = {{0.1, 25.714285714285715},
                                                        {0.08, 20},
                                                        {0.15, 40},
                                                        {0.2, 82.85714285714286},
                                                        {0.22, 100},
                                                        {0.3, 100},
                                                        {0.04, 10},
                                                        {0.08448, 21.28},
                                                        {0, 0},
                                                        {-0.01, 0},
                                                        {-kInf, 0},
                                                        {kNaN, 0},
                                                        {kInf, 100}};
  for (const auto& [value, score] : first) {
    EXPECT_EQ(FirstConfigurationScore(value), score) << value;
  }
  const std::vector<std::pair<double, double>> second = {{0.1, 21.81818181818182},
                                                         {0.08, 20},
                                                         {0.3, 40},
                                                         {0.5, 66.66666666666667},
                                                         {0.75, 100},
                                                         {1.0, 100},
                                                         {0.2, 30.90909090909091},
                                                         {0.04, 10},
                                                         {0.08462, 20.42},
                                                         {-1, 0},
                                                         {-kInf, 0},
                                                         {kNaN, 0},
                                                         {kInf, 100}};
  for (const auto& [value, score] : second) {
    EXPECT_EQ(SecondConfigurationScore(value), score) << value;
  }
}

TEST(ConfigurationScoreTest, EachGroupIsScoredFromValuesTwoAndFive) {
  const ManipulabilityMap manipulability{{quor::JointGroup::EXT_AXIS, {9, 9, 0.1, 9, 9, 0.5}},
                                         {quor::JointGroup::ALL, {0, 0, 0.2, 0, 0, 0.1}}};
  const ConfigurationScoreMap expected{
      {quor::JointGroup::ALL, {82.85714285714286, 21.81818181818182}},
      {quor::JointGroup::EXT_AXIS, {25.714285714285715, 66.66666666666667}}};
  EXPECT_EQ(ConfigurationScores(manipulability), expected);
  EXPECT_TRUE(ConfigurationScores({}).empty());
}

}  // namespace
}  // namespace korvel::quor_impl
