#pragma once
// A layout dict (as client_layout() gives it, or as the tools read it from a file) for the
// decoders, which check its values where every decode begins.

#include <pybind11/pybind11.h>

#include "client/client_access.hpp"

namespace korvel::python {

quor_impl::ClientLayout LayoutFrom(const pybind11::dict& d);
// The dict of a layout: serial, group_names, start_ids, dofs, joint_count and, when known,
// extra_joint_count (tables keyed by joint-group value).
pybind11::dict LayoutDict(const quor_impl::ClientLayout& layout);

}  // namespace korvel::python
