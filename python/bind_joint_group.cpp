// JointGroup as a pybind11 enumeration without arithmetic: members compare equal only to
// JointGroup instances, hash to their value, pickle through their value and have no order.

#include <pybind11/pybind11.h>

#include "client/joint_group.hpp"
#include "python/bindings.hpp"

namespace py = pybind11;

namespace korvel::python {

void BindJointGroup(py::module_& m) {
  using quor::JointGroup;
  py::enum_<JointGroup>(m, "JointGroup")
      .value("UNKNOWN", JointGroup::UNKNOWN)
      .value("ALL", JointGroup::ALL)
      .value("ARMS", JointGroup::ARMS)
      .value("ARM_1", JointGroup::ARM_1)
      .value("ARM_2", JointGroup::ARM_2)
      .value("EXT_AXIS", JointGroup::EXT_AXIS)
      .export_values();
}

}  // namespace korvel::python
