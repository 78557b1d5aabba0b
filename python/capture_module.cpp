// Entry point of korvelquor_capture, the companion of korvelquor: every sample of a client's
// streams as NumPy columns, the streams' freshness, recordings decoded the same way.
//
// It imports korvelquor first, whose Client and JointGroup it takes and returns: pybind11
// shares registered types between modules built with the same compiler and pybind11, and
// both link the one libkorvelquor, so a capture hooks the very streams the Client owns.

#include <pybind11/pybind11.h>

#include "client/version.hpp"
#include "python/capture_bindings.hpp"

PYBIND11_MODULE(korvelquor_capture, m) {
  m.doc() = "Every sample of a korvelquor.Client's streams, in order, as NumPy columns";
  pybind11::module_::import("korvelquor");
  m.attr("__version__") = korvel::quor::LibraryVersion();
  korvel::python::BindBatches(m);
  korvel::python::BindCapture(m);
  korvel::python::BindStreamStatus(m);
  korvel::python::BindRecording(m);
  korvel::python::BindRecordingReader(m);
  korvel::python::BindRecordingWriter(m);
  korvel::python::BindRecordingFacts(m);
}
