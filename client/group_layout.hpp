#pragma once
// The per-group layout captured at connection: which groups exist, and where each group's
// joints sit in the robot's full-DoF joint vectors. Group g owns the elements
// [start_ids[g], start_ids[g] + dofs[g]).

#include <cstddef>
#include <map>
#include <string>

#include "client/joint_group.hpp"

namespace korvel::quor_impl {

using GroupNames = std::map<quor::JointGroup, std::string>;
using StartIds = std::map<quor::JointGroup, unsigned int>;
using Dofs = std::map<quor::JointGroup, std::size_t>;

}  // namespace korvel::quor_impl
