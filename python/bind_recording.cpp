// The layout a client learnt (for a recording's metadata) and recorded payloads decoded into
// the batches a live capture gives.

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "capture/recording.hpp"
#include "client/client_access.hpp"
#include "python/capture_bindings.hpp"

namespace py = pybind11;

namespace korvel::python {

namespace {

using quor::JointGroup;
using quor_impl::ClientLayout;

py::dict LayoutDict(const ClientLayout& layout) {
  py::dict groups;
  for (const auto& [g, name] : layout.group_names) groups[py::int_(static_cast<int>(g))] = name;
  py::dict starts;
  for (const auto& [g, s] : layout.start_ids) starts[py::int_(static_cast<int>(g))] = s;
  py::dict dofs;
  for (const auto& [g, d] : layout.dofs) dofs[py::int_(static_cast<int>(g))] = d;
  py::dict result;
  result["serial"] = layout.serial;
  result["group_names"] = groups;
  result["start_ids"] = starts;
  result["dofs"] = dofs;
  result["joint_count"] = layout.joint_count;
  return result;
}

ClientLayout LayoutFrom(const py::dict& d) {
  ClientLayout layout;
  if (d.contains("serial")) layout.serial = d["serial"].cast<std::string>();
  for (const auto& [k, v] : d["group_names"].cast<py::dict>()) {
    layout.group_names[static_cast<JointGroup>(k.cast<int>())] = v.cast<std::string>();
  }
  for (const auto& [k, v] : d["start_ids"].cast<py::dict>()) {
    layout.start_ids[static_cast<JointGroup>(k.cast<int>())] = v.cast<unsigned int>();
  }
  for (const auto& [k, v] : d["dofs"].cast<py::dict>()) {
    layout.dofs[static_cast<JointGroup>(k.cast<int>())] = v.cast<std::size_t>();
  }
  if (d.contains("joint_count")) layout.joint_count = d["joint_count"].cast<std::size_t>();
  return layout;
}

template <class T>
std::span<const T> Span(const py::array_t<T, py::array::c_style | py::array::forcecast>& a) {
  return {a.data(), static_cast<std::size_t>(a.size())};
}

}  // namespace

void BindRecording(py::module_& m) {
  m.def(
      "client_layout",
      [](const quor::Client& client) { return LayoutDict(quor_impl::ClientAccess::Layout(client)); },
      py::arg("client"),
      "The layout the client learnt when it connected: serial, group_names, start_ids and "
      "dofs (keyed by joint-group value) and joint_count (full joint lists' length; 0 if "
      "unknown). decode_recording takes it back.");

  m.def(
      "decode_recording",
      [](const std::string& stream,
         py::array_t<std::uint8_t, py::array::c_style | py::array::forcecast> data,
         py::array_t<std::uint64_t, py::array::c_style | py::array::forcecast> offsets,
         py::array_t<std::uint64_t, py::array::c_style | py::array::forcecast> seq,
         py::array_t<std::int64_t, py::array::c_style | py::array::forcecast> receive_time_ns,
         std::optional<py::array_t<std::int32_t, py::array::c_style | py::array::forcecast>> robot_time,
         std::optional<py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>> receive_mono_ns,
         const py::dict& layout) -> py::object {
        if (stream != "basic" && stream != "extra") {
          throw py::value_error("stream must be \"basic\" or \"extra\", got \"" + stream + "\"");
        }
        quor_impl::RecordedStream r;
        r.data = Span(data);
        r.offsets = Span(offsets);
        r.seq = Span(seq);
        r.receive_time_ns = Span(receive_time_ns);
        if (robot_time) r.robot_time = Span(*robot_time);
        if (receive_mono_ns) r.receive_mono_ns = Span(*receive_mono_ns);
        const ClientLayout l = LayoutFrom(layout);
        try {
          if (stream == "basic") {
            quor::BasicBatch batch;
            {
              py::gil_scoped_release release;
              batch = quor_impl::DecodeBasicRecording(r, l);
            }
            return py::cast(std::move(batch));
          }
          quor::ExtraBatch batch;
          {
            py::gil_scoped_release release;
            batch = quor_impl::DecodeExtraRecording(r, l);
          }
          return py::cast(std::move(batch));
        } catch (const std::invalid_argument& e) {
          throw py::value_error(e.what());
        }
      },
      py::arg("stream"), py::arg("data"), py::arg("offsets"), py::arg("seq"),
      py::arg("receive_time_ns"), py::arg("robot_time") = py::none(),
      py::arg("receive_mono_ns") = py::none(), py::arg("layout"),
      "Decodes recorded payloads of one stream (payload i is data[offsets[i]:offsets[i+1]], "
      "data a uint8 array such as numpy.frombuffer(blob, numpy.uint8)) "
      "into the batch a live capture gives, with the layout of client_layout(). Undecodable "
      "samples are listed with their reason.");
}

}  // namespace korvel::python
