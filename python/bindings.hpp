#pragma once
// The parts of the korvelquor module, registered in this order by the module's entry point:
// a member's generated signature can only name Python types registered before it.

#include <pybind11/pybind11.h>

namespace korvel::python {

void BindJointGroup(pybind11::module_& m);
void BindRecords(pybind11::module_& m);
void BindClient(pybind11::module_& m);

}  // namespace korvel::python
