#pragma once
// The two-arm robot the benchmarks measure: all 21 joints, both arms, each arm and the
// external axes, as the robot's start-ID reply describes them.

#include "stream/assembly.hpp"

namespace korvel::bench {

using korvel::quor::JointGroup;

inline const quor_impl::GroupNames kTwoArmNames{{JointGroup::ALL, "ALL"},
                                                {JointGroup::ARMS, "ARMS"},
                                                {JointGroup::ARM_1, "ARM_1"},
                                                {JointGroup::ARM_2, "ARM_2"},
                                                {JointGroup::EXT_AXIS, "EXT_AXIS"}};
inline const quor_impl::StartIds kTwoArmStarts{{JointGroup::ALL, 0},
                                               {JointGroup::ARMS, 0},
                                               {JointGroup::ARM_1, 0},
                                               {JointGroup::ARM_2, 7},
                                               {JointGroup::EXT_AXIS, 14}};
inline const quor_impl::Dofs kTwoArmDofs{{JointGroup::ALL, 21},
                                         {JointGroup::ARMS, 14},
                                         {JointGroup::ARM_1, 7},
                                         {JointGroup::ARM_2, 7},
                                         {JointGroup::EXT_AXIS, 7}};

}  // namespace korvel::bench
