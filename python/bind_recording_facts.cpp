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
  m.def(
      "layout_from_metadata",
      [](const quor_impl::FactRecord& record, const std::string& serial) {
        return LayoutDict(quor_impl::LayoutFromRecord(record, serial));
      },
      py::arg("record"), py::arg("serial"),
      "The layout dict a recording's layout record holds, checked as the client checks the "
      "robot's start-ID reply (ValueError naming the first value that fails).");
  m.def("plan_info_metadata", &quor_impl::PlanInfoRecord, py::arg("info"),
        "The plan-info record of a PlanInfo (RuntimeError: a text that is not UTF-8).");
  m.def("scores_metadata", &quor_impl::ScoreRecord, py::arg("scores"),
        "The configuration-score record of {JointGroup: (first, second)}.");
  m.def("primitives_metadata", &quor_impl::PrimitivesRecord, py::arg("states"),
        "The primitive-states record of {JointGroup: PrimitiveStates}.");
  m.def(
      "end_metadata",
      [](const std::string& stopped_by, double seconds,
         const std::map<std::string, std::uint64_t>& received,
         const std::map<std::string, std::uint64_t>& dropped, const std::string& error,
         std::int64_t ended_ns) {
        quor::RecordingSummary s;
        s.stopped_by = stopped_by;
        s.seconds = seconds;
        s.error = error;
        const auto count = [](const std::map<std::string, std::uint64_t>& m, const char* k) {
          const auto it = m.find(k);
          return it == m.end() ? std::uint64_t{0} : it->second;
        };
        s.basic = {count(received, "basic"), count(dropped, "basic"), 0};
        s.extra = {count(received, "extra"), count(dropped, "extra"), 0};
        return quor_impl::EndRecord(s, ended_ns);
      },
      py::arg("stopped_by"), py::arg("seconds"), py::arg("received"), py::arg("dropped"),
      py::arg("error"), py::arg("ended_ns"),
      "The record a recording ends with; received and dropped are {stream: samples}, error "
      "empty when nothing failed.");
}

}  // namespace korvel::python
