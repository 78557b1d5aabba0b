#include "rpc/configuration_score.hpp"

namespace korvel::quor_impl {

namespace {

// Both scores go 0 -> 0 and 0.08 -> 20, then to 40 at `knee` and to 100 at knee + `top_span`,
// clamped there. The middle segment divides by knee - 0.08 as the robot's reference computes
// it in double (`mid_span`, one ulp off the decimal value), so that the scores are identical
// to the last digit. Every comparison is false for NaN, which therefore falls through to 0,
// while +inf reaches the clamp.
double Score(double v, double knee, double top_span, double mid_span) {
  if (v >= knee) {
    const double s = (v - knee) / top_span * 60 + 40;
    return s < 100 ? s : 100;
  }
  if (v >= 0.08) {
    return (v - 0.08) / mid_span * 20 + 20;
  }
  if (v >= 0) {
    return v / 0.08 * 20;
  }
  return 0;
}

}  // namespace

double FirstConfigurationScore(double v) { return Score(v, 0.15, 0.07, 0.06999999999999999); }

double SecondConfigurationScore(double v) { return Score(v, 0.3, 0.45, 0.21999999999999997); }

ConfigurationScoreMap ConfigurationScores(const ManipulabilityMap& manipulability) {
  ConfigurationScoreMap scores;
  for (const auto& [group, values] : manipulability) {
    scores.emplace_hint(
        scores.end(), group,
        std::pair{FirstConfigurationScore(values[2]), SecondConfigurationScore(values[5])});
  }
  return scores;
}

}  // namespace korvel::quor_impl
