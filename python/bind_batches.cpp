// What Capture.drain() returns: one batch per stream, every field a NumPy array viewing the
// native columns (no copy, no Python object per sample). Joint fields are (rows, dof),
// poses (rows, 7), twists and wrenches (rows, 6), flags bool.

#include <string>
#include <type_traits>
#include <vector>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "capture/columns.hpp"
#include "capture/robot_time.hpp"
#include "python/capture_bindings.hpp"
#include "python/column_arrays.hpp"
#include "stream/record_fields.hpp"

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
auto Column(std::vector<T> Base::* member, std::size_t width = 0) {
  return [member, width](py::object self) {
    const Base& owner = self.cast<const Owner&>();
    return View(owner.*member, self, width);
  };
}

template <class Owner, class Base>
auto Flags(std::vector<std::uint8_t> Base::* member, std::size_t width = 0) {
  return [member, width](py::object self) {
    const Base& owner = self.cast<const Owner&>();
    return FlagView(owner.*member, self, width);
  };
}

// One property per field of the record's table, named as there. Joint fields are
// (rows, dof), the rest as wide as the record's array; the row count comes from a fixed-width
// field so that a group of zero joints still has its rows.
template <class Columns>
void BindColumns(py::module_& m, const char* name, const char* doc) {
  using Record = std::conditional_t<std::is_same_v<Columns, StateColumns>, quor::RobotStates,
                                    quor::RobotActions>;
  py::class_<Columns> cls(m, name, doc);
  cls.def_property_readonly("dof", [](const Columns& c) { return c.dof; });
  const auto& table = quor_impl::FieldsOf<Record>();
  constexpr auto kColumns = Columns::Fields();
  // A 7-wide pose: every record has one.
  std::vector<double> Columns::* pose = nullptr;
  quor_impl::ForEachPair(table, kColumns, [&](const auto& field, auto column) {
    if (pose == nullptr && field.Width(0) == 7) pose = column;
  });
  quor_impl::ForEachPair(table, kColumns, [&](const auto& field, auto column) {
    if constexpr (std::decay_t<decltype(field)>::kKind == quor_impl::FieldKind::kJoint) {
      cls.def_property_readonly(field.name, [column, pose](py::object self) {
        const Columns& c = self.cast<const Columns&>();
        return View(c.*column, self, c.dof, static_cast<std::ptrdiff_t>((c.*pose).size() / 7));
      });
    } else {
      cls.def_property_readonly(field.name, Column<Columns>(column, field.Width(0)));
    }
  });
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
std::map<quor::JointGroup, const Columns*> Groups(
    const std::map<quor::JointGroup, Columns>& groups) {
  std::map<quor::JointGroup, const Columns*> result;
  for (const auto& [g, columns] : groups) result.emplace(g, &columns);
  return result;
}

}  // namespace

void BindBatches(py::module_& m) {
  m.def(
      "robot_time_ns",
      [](py::array_t<std::int32_t, py::array::c_style | py::array::forcecast> robot_time) {
        if (robot_time.ndim() != 2 || robot_time.shape(1) != 2) {
          throw py::value_error("robot_time must have shape (n, 2), got " +
                                std::string(py::str(robot_time.attr("shape"))));
        }
        const auto n = robot_time.shape(0);
        py::array_t<std::int64_t> out(n);
        const std::int32_t* in = robot_time.data();
        std::int64_t* to = out.mutable_data();
        for (py::ssize_t i = 0; i < n; ++i) to[i] = quor::RobotTimeNs(in[2 * i], in[2 * i + 1]);
        return out;
      },
      py::arg("robot_time"),
      "Robot stamps (rows of seconds and the nanosecond word as the client keeps it) as "
      "nanoseconds since the epoch, the nanosecond word read as the unsigned word the robot "
      "sent; negative before the epoch (a recording's times take such a stamp as 0).");
  py::class_<RawSamples>(m, "RawSamples",
                         "Every sample of a stream exactly as it arrived, in arrival order.")
      .def_property_readonly("seq", Column<RawSamples>(&RawSamples::seq))
      .def_property_readonly("receive_time_ns", Column<RawSamples>(&RawSamples::receive_time_ns))
      .def_property_readonly("receive_mono_ns", Column<RawSamples>(&RawSamples::receive_mono_ns))
      .def_property_readonly("robot_time", Column<RawSamples>(&RawSamples::robot_time, 2))
      .def_property_readonly("decoded", Flags<RawSamples>(&RawSamples::decoded))
      .def_property_readonly("offsets", Column<RawSamples>(&RawSamples::offsets))
      .def_property_readonly("data", Column<RawSamples>(&RawSamples::data))
      .def(
          "payload",
          [](const RawSamples& r, std::size_t i) {
            if (i + 1 >= r.offsets.size()) throw py::index_error("payload index out of range");
            return py::bytes(reinterpret_cast<const char*>(r.data.data()) + r.offsets[i],
                             r.offsets[i + 1] - r.offsets[i]);
          },
          py::arg("i"))
      .def("__len__", [](const RawSamples& r) { return r.seq.size(); });

  BindColumns<StateColumns>(m, "StateColumns",
                            "One joint group's measured states, row per sample.");
  BindColumns<ActionColumns>(m, "ActionColumns",
                             "One joint group's desired values, row per sample.");

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
