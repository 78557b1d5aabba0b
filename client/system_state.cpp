#include "client/system_state.hpp"

namespace rmx {

const std::unordered_map<SystemState, std::string> SystemStateName{
    {SystemState::UNKNOWN, "UNKNOWN"},
    {SystemState::INIT, "INIT"},
    {SystemState::STOPPED_MANUAL, "STOPPED_MANUAL"},
    {SystemState::STOPPED_AUTO, "STOPPED_AUTO"},
    {SystemState::STOPPED_EXTERNAL_AUTO, "STOPPED_EXTERNAL_AUTO"},
    {SystemState::WORKING_EXTERNAL_AUTO, "WORKING_EXTERNAL_AUTO"},
    {SystemState::WORKING_MANUAL_EXECUTE, "WORKING_MANUAL_EXECUTE"},
    {SystemState::WORKING_AUTO_EXECUTE, "WORKING_AUTO_EXECUTE"},
    {SystemState::REWIND_EXTERNAL_AUTO, "REWIND_EXTERNAL_AUTO"},
    {SystemState::REWIND_MANUAL, "REWIND_MANUAL"},
    {SystemState::REWIND_AUTO, "REWIND_AUTO"},
    {SystemState::FREEDRIVE_MANUAL, "FREEDRIVE_MANUAL"},
    {SystemState::FREEDRIVE_AUTO, "FREEDRIVE_AUTO"},
    {SystemState::FAULT_MANUAL, "FAULT_MANUAL"},
    {SystemState::FAULT_AUTO, "FAULT_AUTO"},
    {SystemState::FAULT_EXTERNAL_AUTO, "FAULT_EXTERNAL_AUTO"},
    {SystemState::RECOVERY_MANUAL, "RECOVERY_MANUAL"},
    {SystemState::RECOVERY_AUTO, "RECOVERY_AUTO"},
    {SystemState::RECOVERY_EXTERNAL_AUTO, "RECOVERY_EXTERNAL_AUTO"},
};

const std::map<SafetyBoardState, std::string> SafetyBoardStateName{
    {SafetyBoardState::UNKNOWN, "UNKNOWN"},
    {SafetyBoardState::STARTUP, "STARTUP"},
    {SafetyBoardState::SYNC, "SYNC"},
    {SafetyBoardState::RECOVERY, "RECOVERY"},
    {SafetyBoardState::REDUCED, "REDUCED"},
    {SafetyBoardState::NORMAL, "NORMAL"},
    {SafetyBoardState::TRANSITION, "TRANSITION"},
    {SafetyBoardState::RELEASE_BRAKE, "RELEASE_BRAKE"},
    {SafetyBoardState::CAT_0_STOP, "CAT_0_STOP"},
    {SafetyBoardState::CAT_1_STOP, "CAT_1_STOP"},
    {SafetyBoardState::CAT_2_STOP, "CAT_2_STOP"},
};

}  // namespace rmx
