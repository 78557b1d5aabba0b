#include "client/joint_group.hpp"

namespace korvel::quor {

const std::map<JointGroup, std::string> kJointGroupNames{
    {JointGroup::UNKNOWN, "UNKNOWN"}, {JointGroup::ALL, "ALL"},
    {JointGroup::ARMS, "ARMS"},       {JointGroup::ARM_1, "ARM_1"},
    {JointGroup::ARM_2, "ARM_2"},     {JointGroup::EXT_AXIS, "EXT_AXIS"},
};

}  // namespace korvel::quor
