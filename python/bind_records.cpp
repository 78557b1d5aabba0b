// The four plain records, one read/write property per field in field order.
//
// def_readwrite with pybind11's STL casters gives value semantics: reading a property builds
// a new list/tuple/dict, writing converts the whole value or refuses it with TypeError and
// leaves the field as it was.

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "client/records.hpp"
#include "python/bindings.hpp"

namespace py = pybind11;

namespace korvel::python {

void BindRecords(py::module_& m) {
  using quor::PlanInfo;
  using quor::PrimitiveStates;
  using quor::RobotActions;
  using quor::RobotStates;

  py::class_<RobotStates>(m, "RobotStates")
      .def(py::init<>())
      .def_readwrite("timestamp", &RobotStates::timestamp)
      .def_readwrite("q", &RobotStates::q)
      .def_readwrite("theta", &RobotStates::theta)
      .def_readwrite("dq", &RobotStates::dq)
      .def_readwrite("dtheta", &RobotStates::dtheta)
      .def_readwrite("tau", &RobotStates::tau)
      .def_readwrite("tau_dot", &RobotStates::tau_dot)
      .def_readwrite("tau_ext", &RobotStates::tau_ext)
      .def_readwrite("tau_interact", &RobotStates::tau_interact)
      .def_readwrite("temperature", &RobotStates::temperature)
      .def_readwrite("flange_pose", &RobotStates::flange_pose)
      .def_readwrite("tcp_pose", &RobotStates::tcp_pose)
      .def_readwrite("tcp_twist", &RobotStates::tcp_twist)
      .def_readwrite("tcp_wrench", &RobotStates::tcp_wrench)
      .def_readwrite("tcp_wrench_local", &RobotStates::tcp_wrench_local)
      .def_readwrite("raw_tcp_wrench", &RobotStates::raw_tcp_wrench)
      .def_readwrite("raw_tcp_wrench_local", &RobotStates::raw_tcp_wrench_local)
      .def_readwrite("raw_ft_sensor", &RobotStates::raw_ft_sensor);

  py::class_<RobotActions>(m, "RobotActions")
      .def(py::init<>())
      .def_readwrite("timestamp", &RobotActions::timestamp)
      .def_readwrite("q_d", &RobotActions::q_d)
      .def_readwrite("dq_d", &RobotActions::dq_d)
      .def_readwrite("tau_d", &RobotActions::tau_d)
      .def_readwrite("tcp_pose_d", &RobotActions::tcp_pose_d)
      .def_readwrite("tcp_twist_d", &RobotActions::tcp_twist_d)
      .def_readwrite("tcp_wrench_d", &RobotActions::tcp_wrench_d);

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
