// Test-only module: exposes the interpreter-version rule of the korvelquor module so that
// the suite can try it with version strings of interpreters this machine does not have.

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "python/version_guard.hpp"

PYBIND11_MODULE(kq_version_guard_probe, m) {
  m.attr("built_for") = korvel::python::kBuiltForPython;
  m.def("matches", &korvel::python::InterpreterMatches);
  m.def("message", &korvel::python::VersionMismatchMessage);
}
