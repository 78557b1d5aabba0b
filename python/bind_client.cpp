// Client: construction and the accessors, each returning new Python objects built from the
// native by-value result.
//
// No member releases the interpreter lock. The client's own threads (zenoh's) never touch
// Python objects, so holding the lock is safe; calls from several Python threads are then
// serialised by it. Native exceptions go through pybind11's standard translation.

#include <string>

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "client/client.hpp"
#include "python/bindings.hpp"

namespace py = pybind11;

namespace korvel::python {

void BindClient(py::module_& m) {
  using quor::Client;
  py::class_<Client>(m, "Client")
      .def(py::init<const std::string&, bool>(), py::arg("robot_sn"), py::arg("verbose") = true)
      .def("connected", &Client::connected)
      .def("groups", &Client::groups)
      .def("states", &Client::states)
      .def("actions", &Client::actions)
      .def("primitive_states", &Client::primitive_states)
      .def("configuration_score", &Client::configuration_score)
      .def("plan_info", &Client::plan_info)
      .def("estop_released", &Client::estop_released)
      .def("enabling_device_on", &Client::enabling_device_on)
      .def("digital_inputs", &Client::digital_inputs)
      .def("digital_outputs", &Client::digital_outputs)
      .def("__repr__", [](const Client&) { return std::string("<korvelquor.Client>"); });
}

}  // namespace korvel::python
