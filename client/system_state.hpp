#pragma once
// The robot's system state and safety-board state, as carried at the head of every basic
// stream sample, with their name tables.

#include <cstdint>
#include <map>
#include <string>
#include <unordered_map>

namespace rmx {

// The external-auto variant comes first among the working and rewind states but last among
// the stopped, fault and recovery states: the robot's numbering, kept as is.
enum class SystemState : std::uint16_t {
  UNKNOWN = 0,
  INIT = 1,
  STOPPED_MANUAL = 2,
  STOPPED_AUTO = 3,
  STOPPED_EXTERNAL_AUTO = 4,
  WORKING_EXTERNAL_AUTO = 5,
  WORKING_MANUAL_EXECUTE = 6,
  WORKING_AUTO_EXECUTE = 7,
  REWIND_EXTERNAL_AUTO = 8,
  REWIND_MANUAL = 9,
  REWIND_AUTO = 10,
  FREEDRIVE_MANUAL = 11,
  FREEDRIVE_AUTO = 12,
  FAULT_MANUAL = 13,
  FAULT_AUTO = 14,
  FAULT_EXTERNAL_AUTO = 15,
  RECOVERY_MANUAL = 16,
  RECOVERY_AUTO = 17,
  RECOVERY_EXTERNAL_AUTO = 18,
};

// Bit-patterned: every state after STARTUP has 8 set; the stop categories add 32, 64 and
// 128, the brake release adds 16.
enum class SafetyBoardState : std::int16_t {
  UNKNOWN = -1,
  STARTUP = 0,
  SYNC = 8,
  RECOVERY = 9,
  REDUCED = 10,
  NORMAL = 12,
  TRANSITION = 14,
  RELEASE_BRAKE = 24,
  CAT_0_STOP = 40,
  CAT_1_STOP = 72,
  CAT_2_STOP = 136,
};

extern const std::unordered_map<SystemState, std::string> SystemStateName;
extern const std::map<SafetyBoardState, std::string> SafetyBoardStateName;

}  // namespace rmx
