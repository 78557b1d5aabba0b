#include "rpc/configuration_score.hpp"

namespace korvel::quor_impl {

// The middle segments divide by the corner-point differences as the robot's reference
// computes them in double (0.15 - 0.08 and 0.3 - 0.08, each one ulp off the decimal value);
// the literals keep the scores identical to the last digit. Every comparison is false for
// NaN, which therefore falls through to 0, while +inf reaches the clamp.
double FirstConfigurationScore(double v) {
  if (v >= 0.15) {
    const double s = (v - 0.15) / 0.07 * 60 + 40;
    return s < 100 ? s : 100;
  }
  if (v >= 0.08) {
    return (v - 0.08) / 0.06999999999999999 * 20 + 20;
  }
  if (v >= 0) {
    return v / 0.08 * 20;
  }
  return 0;
}

double SecondConfigurationScore(double v) {
  if (v >= 0.3) {
    const double s = (v - 0.3) / 0.45 * 60 + 40;
    return s < 100 ? s : 100;
  }
  if (v >= 0.08) {
    return (v - 0.08) / 0.21999999999999997 * 20 + 20;
  }
  if (v >= 0) {
    return v / 0.08 * 20;
  }
  return 0;
}

ConfigurationScoreMap ConfigurationScores(const ManipulabilityMap& manipulability) {
  ConfigurationScoreMap scores;
  for (const auto& [group, values] : manipulability) {
    scores.emplace_hint(scores.end(), group,
                        std::pair{FirstConfigurationScore(values[2]),
                                  SecondConfigurationScore(values[5])});
  }
  return scores;
}

}  // namespace korvel::quor_impl
