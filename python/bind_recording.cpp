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
#include "python/recorded_layout.hpp"

namespace py = pybind11;

namespace korvel::python {

namespace {

using quor::JointGroup;
using quor_impl::ClientLayout;

// A whole number in [0, limit) from a layout dict read from a file: anything else (a float,
// a bool, a string, a negative or huge number) is refused with the value it was.
std::uint64_t Whole(py::handle value, const std::string& what, std::uint64_t limit) {
  if (!py::isinstance<py::int_>(value) || py::isinstance<py::bool_>(value) ||
      value.cast<py::int_>() < py::int_(0) || value.cast<py::int_>() >= py::int_(limit)) {
    throw py::value_error("recorded layout: " + what + " must be a whole number from 0 to " +
                          std::to_string(limit - 1) + ", got " +
                          py::repr(value).cast<std::string>());
  }
  return value.cast<std::uint64_t>();
}

py::dict Entry(const py::dict& d, const char* key) {
  if (!d.contains(key) || !py::isinstance<py::dict>(d[key])) {
    throw py::value_error(std::string("recorded layout: ") + key +
                          " must be a dict keyed by joint-group value");
  }
  return d[key].cast<py::dict>();
}

JointGroup GroupKey(py::handle key, const char* table) {
  if (!py::isinstance<py::int_>(key) || py::isinstance<py::bool_>(key) ||
      key.cast<py::int_>() < py::int_(-1) || key.cast<py::int_>() > py::int_(255)) {
    throw py::value_error(std::string("recorded layout: ") + table +
                          " is keyed by joint-group values, got " +
                          py::repr(key).cast<std::string>());
  }
  return static_cast<JointGroup>(key.cast<int>());
}

}  // namespace

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
  if (layout.extra_joint_count) result["extra_joint_count"] = *layout.extra_joint_count;
  return result;
}

ClientLayout LayoutFrom(const py::dict& d) {
  constexpr std::uint64_t kLimit = std::uint64_t{1} << 32;
  ClientLayout layout;
  if (d.contains("serial")) layout.serial = py::str(d["serial"]).cast<std::string>();
  for (const auto& [k, v] : Entry(d, "group_names")) {
    if (!py::isinstance<py::str>(v)) {
      throw py::value_error("recorded layout: group names must be text, got " +
                            py::repr(v).cast<std::string>());
    }
    layout.group_names[GroupKey(k, "group_names")] = v.cast<std::string>();
  }
  for (const auto& [k, v] : Entry(d, "start_ids")) {
    const JointGroup g = GroupKey(k, "start_ids");
    layout.start_ids[g] = static_cast<unsigned int>(
        Whole(v, "the start ID of joint group " + std::to_string(static_cast<int>(g)), kLimit));
  }
  for (const auto& [k, v] : Entry(d, "dofs")) {
    const JointGroup g = GroupKey(k, "dofs");
    layout.dofs[g] = static_cast<std::size_t>(
        Whole(v, "the DoF of joint group " + std::to_string(static_cast<int>(g)), kLimit));
  }
  if (d.contains("joint_count")) {
    layout.joint_count = static_cast<std::size_t>(Whole(d["joint_count"], "joint_count", kLimit));
  }
  if (d.contains("extra_joint_count") && !d["extra_joint_count"].is_none()) {
    layout.extra_joint_count =
        static_cast<std::size_t>(Whole(d["extra_joint_count"], "extra_joint_count", kLimit));
  }
  // Its values are checked where every decode begins (quor_impl::CheckRecordedLayout).
  return layout;
}

namespace {

template <class T>
std::span<const T> Span(const py::array_t<T, py::array::c_style | py::array::forcecast>& a) {
  return {a.data(), static_cast<std::size_t>(a.size())};
}

}  // namespace

void BindRecording(py::module_& m) {
  m.def(
      "client_layout",
      [](const quor::Client& client) {
        return LayoutDict(quor_impl::ClientAccess::Layout(client));
      },
      py::arg("client"),
      "The layout the client learnt when it connected: serial, group_names, start_ids and "
      "dofs (keyed by joint-group value), joint_count (full joint lists' length; 0 if "
      "unknown) and, once the extra stream has delivered, extra_joint_count (its lists' "
      "length). decode_recording takes it back.");

  m.def(
      "decode_recording",
      [](const std::string& stream,
         py::array_t<std::uint8_t, py::array::c_style | py::array::forcecast> data,
         py::array_t<std::uint64_t, py::array::c_style | py::array::forcecast> offsets,
         py::array_t<std::uint64_t, py::array::c_style | py::array::forcecast> seq,
         py::array_t<std::int64_t, py::array::c_style | py::array::forcecast> receive_time_ns,
         std::optional<py::array_t<std::int32_t, py::array::c_style | py::array::forcecast>>
             robot_time,
         std::optional<py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>>
             receive_mono_ns,
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
        // A layout that does not describe the samples (std::invalid_argument) or sizes that
        // cannot be (std::length_error) reach Python as ValueError.
        const auto decode = [&](auto decoder) {
          decltype(decoder(r, l)) batch;
          {
            py::gil_scoped_release release;
            batch = decoder(r, l);
          }
          return py::cast(std::move(batch));
        };
        using quor_impl::RecordingDecoder;
        return stream == "basic" ? decode(RecordingDecoder<quor::Stream::Basic>::Decode)
                                 : decode(RecordingDecoder<quor::Stream::Extra>::Decode);
      },
      py::arg("stream"), py::arg("data"), py::arg("offsets"), py::arg("seq"),
      py::arg("receive_time_ns"), py::arg("robot_time") = py::none(),
      py::arg("receive_mono_ns") = py::none(), py::arg("layout"),
      "Decodes recorded payloads of one stream (payload i is data[offsets[i]:offsets[i+1]], "
      "data a uint8 array such as numpy.frombuffer(blob, numpy.uint8)) "
      "into the batch a live capture gives, with the layout of client_layout(). Undecodable "
      "samples are listed with their reason. A layout or arrays that do not describe the "
      "samples (a layout not from client_layout(), sizes that do not match) raise ValueError.");
}

}  // namespace korvel::python
