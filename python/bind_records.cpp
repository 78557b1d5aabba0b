// The four plain records, one read/write property per field in field order.
//
// def_readwrite with pybind11's STL casters gives value semantics: reading a property builds
// a new list/tuple/dict, writing converts the whole value or refuses it with TypeError and
// leaves the field as it was.

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "client/records.hpp"
#include "python/bindings.hpp"
#include "stream/record_fields.hpp"

namespace py = pybind11;

namespace korvel::python {

namespace {

// The timestamp, then the fields of the record's field table.
template <class Record>
void BindRecord(py::module_& m, const char* name) {
  py::class_<Record> cls(m, name);
  cls.def(py::init<>()).def_readwrite("timestamp", &Record::timestamp);
  quor_impl::ForEachField(quor_impl::FieldsOf<Record>(),
                          [&](const auto& field) { cls.def_readwrite(field.name, field.member); });
}

}  // namespace

void BindRecords(py::module_& m) {
  using quor::PlanInfo;
  using quor::PrimitiveStates;
  using quor::RobotActions;
  using quor::RobotStates;

  BindRecord<RobotStates>(m, "RobotStates");
  BindRecord<RobotActions>(m, "RobotActions");

  py::class_<PrimitiveStates>(m, "PrimitiveStates")
      .def(py::init<>())
      .def_readwrite("pt_name", &PrimitiveStates::pt_name)
      .def_readwrite("names_and_values", &PrimitiveStates::names_and_values);

  py::class_<PlanInfo>(m, "PlanInfo")
      .def(py::init<>())
      .def_readwrite("pt_name", &PlanInfo::pt_name)
      .def_readwrite("node_name", &PlanInfo::node_name)
      .def_readwrite("node_path", &PlanInfo::node_path)
      .def_readwrite("node_path_time_period", &PlanInfo::node_path_time_period)
      .def_readwrite("node_path_number", &PlanInfo::node_path_number)
      .def_readwrite("assigned_plan_name", &PlanInfo::assigned_plan_name)
      .def_readwrite("velocity_scale", &PlanInfo::velocity_scale)
      .def_readwrite("waiting_for_step", &PlanInfo::waiting_for_step);
}

}  // namespace korvel::python
