#pragma once
// A layout dict (as client_layout() gives it, or as the tools read it from a file) for the
// decoders, which check its values where every decode begins.

#include <pybind11/pybind11.h>

#include "client/client_access.hpp"

namespace korvel::python {

quor_impl::ClientLayout LayoutFrom(const pybind11::dict& d);

}  // namespace korvel::python
