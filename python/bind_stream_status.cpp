// stream_status(client): freshness of both streams at once, without a round trip.

#include <cmath>
#include <cstdio>
#include <map>
#include <string>

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "capture/stream_status.hpp"
#include "python/capture_bindings.hpp"

namespace py = pybind11;

namespace korvel::python {

void BindStreamStatus(py::module_& m) {
  using quor::StreamStatus;
  py::class_<StreamStatus>(m, "StreamStatus", "What one stream of a client has delivered.")
      .def_readonly("received", &StreamStatus::received,
                    "samples since the client subscribed, decodable or not")
      .def_readonly("undecodable", &StreamStatus::undecodable,
                    "samples whose payload did not decode")
      .def_readonly("age_s", &StreamStatus::age_s,
                    "seconds since the latest sample (monotonic clock); inf before the first")
      .def_readonly("rate_hz", &StreamStatus::rate_hz, "samples that arrived in the last second")
      .def_readonly("layout_changed", &StreamStatus::layout_changed,
                    "the robot's joint lists no longer match the layout learnt at connection: "
                    "create a new Client")
      .def("__repr__", [](const StreamStatus& s) {
        char text[200];
        std::snprintf(text, sizeof text,
                      "StreamStatus(received=%llu, undecodable=%llu, age_s=%.6g, rate_hz=%.6g, "
                      "layout_changed=%s)",
                      static_cast<unsigned long long>(s.received),
                      static_cast<unsigned long long>(s.undecodable), s.age_s, s.rate_hz,
                      s.layout_changed ? "True" : "False");
        return std::string(text);
      });

  m.def(
      "stream_status",
      [](const quor::Client& client) {
        const auto status = quor::GetStreamStatus(client);
        return std::map<std::string, StreamStatus>{{"basic", status.basic},
                                                   {"extra", status.extra}};
      },
      py::arg("client"),
      "Per stream (\"basic\", \"extra\"): samples received, samples that did not decode, "
      "seconds since the latest one and the rate over the last second. Answers at once.");
}

}  // namespace korvel::python
