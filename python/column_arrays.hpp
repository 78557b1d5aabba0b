#pragma once
// NumPy views of the capture's column vectors. A view does not copy: it points into the
// batch that owns the vector and keeps that batch's Python object alive as its base.

#include <cstddef>
#include <cstdint>
#include <vector>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

namespace korvel::python {

// `width` 0 gives a one-dimensional array; otherwise (size / width, width). `rows` fixes
// the row count where width alone cannot tell it, and makes the array two-dimensional even
// at width 0 (a group of zero joints: (rows, 0)).
template <class T>
pybind11::array View(const std::vector<T>& column, pybind11::handle owner, std::size_t width = 0,
                     std::ptrdiff_t rows = -1) {
  namespace py = pybind11;
  const auto n = static_cast<py::ssize_t>(column.size());
  std::vector<py::ssize_t> shape;
  if (width == 0 && rows < 0) {
    shape = {n};
  } else {
    shape = {rows >= 0 ? rows : n / static_cast<py::ssize_t>(width),
             static_cast<py::ssize_t>(width)};
  }
  // An empty vector may have no storage; NumPy still wants a valid pointer.
  static const T kNone{};
  const T* data = column.empty() ? &kNone : column.data();
  return py::array_t<T>(shape, data, owner);
}

// Flags stored one byte each, seen as NumPy bool.
inline pybind11::array FlagView(const std::vector<std::uint8_t>& column, pybind11::handle owner,
                                std::size_t width = 0) {
  namespace py = pybind11;
  const auto n = static_cast<py::ssize_t>(column.size());
  std::vector<py::ssize_t> shape =
      width == 0 ? std::vector<py::ssize_t>{n}
                 : std::vector<py::ssize_t>{n / static_cast<py::ssize_t>(width),
                                            static_cast<py::ssize_t>(width)};
  static const std::uint8_t kNone = 0;
  const std::uint8_t* data = column.empty() ? &kNone : column.data();
  return py::array(py::dtype::of<bool>(), shape, data, owner);
}

}  // namespace korvel::python
