// Entry point of the korvelquor extension module.
//
// PYBIND11_MODULE refuses an interpreter of another minor version (see version_guard.hpp)
// before this body runs, and turns any exception raised here into an ImportError.

#include <pybind11/pybind11.h>

#include "python/bindings.hpp"

PYBIND11_MODULE(korvelquor, m) {
  m.doc() = "Korvel Quor (QUOR)";
  korvel::python::BindJointGroup(m);
  korvel::python::BindRecords(m);
  korvel::python::BindClient(m);
}
