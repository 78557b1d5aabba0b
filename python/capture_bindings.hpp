#pragma once
// The parts of the korvelquor_capture module, registered in this order by its entry point
// (after importing korvelquor, whose Client and JointGroup the signatures name).

#include <pybind11/pybind11.h>

namespace korvel::python {

void BindBatches(pybind11::module_& m);
void BindCapture(pybind11::module_& m);
void BindStreamStatus(pybind11::module_& m);
void BindRecording(pybind11::module_& m);
void BindRecordingReader(pybind11::module_& m);
void BindRecordingWriter(pybind11::module_& m);
void BindRecordingFacts(pybind11::module_& m);

}  // namespace korvel::python
