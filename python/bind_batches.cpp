// What Capture.drain() returns: one batch per stream, every field a NumPy array viewing the
// native columns (no copy, no Python object per sample). Joint fields are (rows, dof),
// poses (rows, 7), twists and wrenches (rows, 6), flags bool.

#include <string>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "capture/columns.hpp"
#include "python/capture_bindings.hpp"
#include "python/column_arrays.hpp"

namespace py = pybind11;

namespace korvel::python {

namespace {

using quor::ActionColumns;
using quor::BasicBatch;
using quor::CaptureBatch;
using quor::ExtraBatch;
using quor::RawSamples;
using quor::StateColumns;
using quor::StreamRows;

// A property of `Owner` viewing `member` as an array `width` wide.
// (`Base` is Owner or a base of it, such as StreamRows.)
template <class Owner, class Base, class T>
auto Column(std::vector<T> Base::*member, std::size_t width = 0) {
  return [member, width](py::object self) {
    const Base& owner = self.cast<const Owner&>();
    return View(owner.*member, self, width);
  };
}

template <class Owner, class Base>
auto Flags(std::vector<std::uint8_t> Base::*member, std::size_t width = 0) {
  return [member, width](py::object self) {
    const Base& owner = self.cast<const Owner&>();
    return FlagView(owner.*member, self, width);
  };
}

// Joint fields of a group: (rows, dof); the row count comes from a 7-wide pose field so
// that a group of zero joints still has its rows.
template <class Owner>
auto Joints(std::vector<double> Owner::*member, std::vector<double> Owner::*pose) {
  return [member, pose](py::object self) {
    const Owner& c = self.cast<const Owner&>();
    return View(c.*member, self, c.dof, static_cast<std::ptrdiff_t>((c.*pose).size() / 7));
  };
}

template <class Batch>
void BindStreamRows(py::class_<Batch>& cls) {
  cls.def_property_readonly("rows", [](const Batch& b) { return b.rows; })
      .def_property_readonly("seq", Column<Batch>(&StreamRows::seq))
      .def_property_readonly("robot_time", Column<Batch>(&StreamRows::robot_time, 2))
      .def_property_readonly("receive_time_ns", Column<Batch>(&StreamRows::receive_time_ns))
      .def_property_readonly("receive_mono_ns", Column<Batch>(&StreamRows::receive_mono_ns))
      .def_property_readonly("layout_ok", Flags<Batch>(&StreamRows::layout_ok))
      .def_property_readonly("undecodable_seq", Column<Batch>(&StreamRows::undecodable_seq))
      .def_property_readonly("undecodable_size", Column<Batch>(&StreamRows::undecodable_size))
      .def_property_readonly("undecodable_reason",
                             [](const Batch& b) { return b.undecodable_reason; })
      .def_property_readonly("dropped", [](const Batch& b) { return b.dropped; })
      .def_property_readonly(
          "raw",
          [](const Batch& b) -> const RawSamples* {
            return b.raw.offsets.empty() ? nullptr : &b.raw;
          },
          py::return_value_policy::reference_internal,
          "Every sample as received (payload bytes), when the capture keeps payloads; else None.");
}

template <class Columns>
std::map<quor::JointGroup, const Columns*> Groups(const std::map<quor::JointGroup, Columns>& groups) {
  std::map<quor::JointGroup, const Columns*> result;
  for (const auto& [g, columns] : groups) result.emplace(g, &columns);
  return result;
}

}  // namespace

void BindBatches(py::module_& m) {
  py::class_<RawSamples>(m, "RawSamples",
                         "Every sample of a stream exactly as it arrived, in arrival order.")
      .def_property_readonly("seq", Column<RawSamples>(&RawSamples::seq))
      .def_property_readonly("receive_time_ns", Column<RawSamples>(&RawSamples::receive_time_ns))
      .def_property_readonly("receive_mono_ns", Column<RawSamples>(&RawSamples::receive_mono_ns))
      .def_property_readonly("robot_time", Column<RawSamples>(&RawSamples::robot_time, 2))
      .def_property_readonly("decoded", Flags<RawSamples>(&RawSamples::decoded))
      .def_property_readonly("offsets", Column<RawSamples>(&RawSamples::offsets))
      .def_property_readonly("data", Column<RawSamples>(&RawSamples::data))
      .def("payload",
           [](const RawSamples& r, std::size_t i) {
             if (i + 1 >= r.offsets.size()) throw py::index_error("payload index out of range");
             return py::bytes(reinterpret_cast<const char*>(r.data.data()) + r.offsets[i],
                              r.offsets[i + 1] - r.offsets[i]);
           },
           py::arg("i"))
      .def("__len__", [](const RawSamples& r) { return r.seq.size(); });

  py::class_<StateColumns>(m, "StateColumns", "One joint group's measured states, row per sample.")
      .def_property_readonly("dof", [](const StateColumns& c) { return c.dof; })
      .def_property_readonly("q", Joints(&StateColumns::q, &StateColumns::tcp_pose))
      .def_property_readonly("theta", Joints(&StateColumns::theta, &StateColumns::tcp_pose))
      .def_property_readonly("dq", Joints(&StateColumns::dq, &StateColumns::tcp_pose))
      .def_property_readonly("dtheta", Joints(&StateColumns::dtheta, &StateColumns::tcp_pose))
      .def_property_readonly("tau", Joints(&StateColumns::tau, &StateColumns::tcp_pose))
      .def_property_readonly("tau_dot", Joints(&StateColumns::tau_dot, &StateColumns::tcp_pose))
      .def_property_readonly("tau_ext", Joints(&StateColumns::tau_ext, &StateColumns::tcp_pose))
      .def_property_readonly("tau_interact",
                             Joints(&StateColumns::tau_interact, &StateColumns::tcp_pose))
      .def_property_readonly("temperature",
                             Joints(&StateColumns::temperature, &StateColumns::tcp_pose))
      .def_property_readonly("flange_pose", Column<StateColumns>(&StateColumns::flange_pose, 7))
      .def_property_readonly("tcp_pose", Column<StateColumns>(&StateColumns::tcp_pose, 7))
      .def_property_readonly("tcp_twist", Column<StateColumns>(&StateColumns::tcp_twist, 6))
      .def_property_readonly("tcp_wrench", Column<StateColumns>(&StateColumns::tcp_wrench, 6))
      .def_property_readonly("tcp_wrench_local",
                             Column<StateColumns>(&StateColumns::tcp_wrench_local, 6))
      .def_property_readonly("raw_tcp_wrench", Column<StateColumns>(&StateColumns::raw_tcp_wrench, 6))
      .def_property_readonly("raw_tcp_wrench_local",
                             Column<StateColumns>(&StateColumns::raw_tcp_wrench_local, 6))
      .def_property_readonly("raw_ft_sensor", Column<StateColumns>(&StateColumns::raw_ft_sensor, 6));

  py::class_<ActionColumns>(m, "ActionColumns", "One joint group's desired values, row per sample.")
      .def_property_readonly("dof", [](const ActionColumns& c) { return c.dof; })
      .def_property_readonly("q_d", Joints(&ActionColumns::q_d, &ActionColumns::tcp_pose_d))
      .def_property_readonly("dq_d", Joints(&ActionColumns::dq_d, &ActionColumns::tcp_pose_d))
      .def_property_readonly("tau_d", Joints(&ActionColumns::tau_d, &ActionColumns::tcp_pose_d))
      .def_property_readonly("tcp_pose_d", Column<ActionColumns>(&ActionColumns::tcp_pose_d, 7))
      .def_property_readonly("tcp_twist_d", Column<ActionColumns>(&ActionColumns::tcp_twist_d, 6))
      .def_property_readonly("tcp_wrench_d", Column<ActionColumns>(&ActionColumns::tcp_wrench_d, 6));

  py::class_<BasicBatch> basic(m, "BasicBatch",
                               "Basic stream samples (measured states), row per decoded sample.");
  BindStreamRows(basic);
  basic.def_property_readonly("system_state", Column<BasicBatch>(&BasicBatch::system_state))
      .def_property_readonly("safety_board_state",
                             Column<BasicBatch>(&BasicBatch::safety_board_state))
      .def_property_readonly("estop_released", Flags<BasicBatch>(&BasicBatch::estop_released))
      .def_property_readonly("enabling_device_on",
                             Flags<BasicBatch>(&BasicBatch::enabling_device_on))
      .def_property_readonly("safety_inputs", Flags<BasicBatch>(&BasicBatch::safety_inputs, 8))
      .def_property_readonly("digital_inputs", Flags<BasicBatch>(&BasicBatch::digital_inputs, 20))
      .def_property_readonly("digital_outputs", Flags<BasicBatch>(&BasicBatch::digital_outputs, 20))
      .def_property_readonly(
          "groups", [](const BasicBatch& b) { return Groups(b.groups); },
          py::return_value_policy::reference_internal);

  py::class_<ExtraBatch> extra(m, "ExtraBatch",
                               "Extra stream samples (desired values), row per decoded sample.");
  BindStreamRows(extra);
  extra.def_property_readonly(
      "groups", [](const ExtraBatch& b) { return Groups(b.groups); },
      py::return_value_policy::reference_internal);

  py::class_<CaptureBatch>(m, "Batch", "Both streams' samples since the previous drain.")
      .def_property_readonly(
          "basic", [](const CaptureBatch& b) { return &b.basic; },
          py::return_value_policy::reference_internal)
      .def_property_readonly(
          "extra", [](const CaptureBatch& b) { return &b.extra; },
          py::return_value_policy::reference_internal);
}

}  // namespace korvel::python
