#pragma once
// The joint-group vocabulary: the robot's own group indices and their names.

#include <map>
#include <string>

namespace korvel::quor {

// Values are the indices the robot uses in its stream data; 1 is deliberately unassigned.
enum class JointGroup : int {
  UNKNOWN = -1,
  ALL = 0,
  ARMS = 2,
  ARM_1 = 3,
  ARM_2 = 4,
  EXT_AXIS = 5,
};

// One row per enumerator, spelled as the enumerator. Being const, it offers only lookups
// that fail on a missing key (`.at()`, `.find()`), never an inserting `operator[]`.
extern const std::map<JointGroup, std::string> kJointGroupNames;

}  // namespace korvel::quor
