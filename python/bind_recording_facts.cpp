// The metadata records a recording begins with, as the client library writes them, for
// `korvelquor record`: one text for every recorder.

#include <cstdint>
#include <map>
#include <string>
#include <utility>

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "python/capture_bindings.hpp"
#include "python/recorded_layout.hpp"
#include "recording/recording_facts.hpp"

namespace py = pybind11;

namespace korvel::python {

void BindRecordingFacts(py::module_& m) {
  m.def(
      "connection_facts",
      [](const quor::Client& client, std::int64_t started_ns, const std::string& tools_version) {
        quor_impl::FactRecords facts;
        {
          py::gil_scoped_release release;  // three remote calls
          facts = quor_impl::ConnectionFacts(client, started_ns, tools_version);
        }
        py::dict out;  // in file order: korvelquor.recording first
        for (const auto& [name, record] : facts) out[py::str(name)] = record;
        return out;
      },
      py::arg("client"), py::arg("started_ns"), py::arg("tools_version"),
      "The metadata records a recording of `client` begins with, {name: {key: text}}: the "
      "recording's facts, the layout, plan info, configuration score and primitive states (a "
      "call the robot refuses is recorded as {'error': its text}).");
  m.def(
      "layout_metadata",
      [](const py::dict& layout) { return quor_impl::LayoutRecord(LayoutFrom(layout)); },
      py::arg("layout"), "The layout record of a layout dict (as client_layout() gives it).");
  m.def("plan_info_metadata", &quor_impl::PlanInfoRecord, py::arg("info"),
        "The plan-info record of a PlanInfo (RuntimeError: a text that is not UTF-8).");
  m.def("scores_metadata", &quor_impl::ScoreRecord, py::arg("scores"),
        "The configuration-score record of {JointGroup: (first, second)}.");
  m.def("primitives_metadata", &quor_impl::PrimitivesRecord, py::arg("states"),
        "The primitive-states record of {JointGroup: PrimitiveStates}.");
}

}  // namespace korvel::python
