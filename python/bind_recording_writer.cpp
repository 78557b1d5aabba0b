// korvelquor_capture.RecordingWriter: the recording writer `korvelquor record` and the C++
// Recorder share. A drained batch goes in with one call, without the GIL; channels beyond the
// raw ones (the viewable channels) come in as columns.

#include <cerrno>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "capture/columns.hpp"
#include "python/capture_bindings.hpp"
#include "recording/recording_writer.hpp"

namespace py = pybind11;

namespace korvel::python {

namespace {

using mcapfile::WriteError;
using quor::RecordingWriter;
using FactRecords = quor_impl::FactRecords;

// A write failure as OSError(errno, "writing PATH failed: ..."); an output that cannot be
// created as open() reports it (errno, strerror, path).
[[noreturn]] void Raise(const WriteError& e, const std::string* open_path = nullptr) {
  if (open_path != nullptr && e.os_error() != 0) {
    errno = e.os_error();
    PyErr_SetFromErrnoWithFilename(PyExc_OSError, open_path->c_str());
  } else {
    PyErr_SetObject(PyExc_OSError, py::make_tuple(e.os_error(), e.what()).ptr());
  }
  throw py::error_already_set();
}

quor::RecordingCompression CompressionOf(const std::string& name) {
  if (name == "zstd") return quor::RecordingCompression::Zstd;
  if (name == "lz4") return quor::RecordingCompression::Lz4;
  if (name == "none") return quor::RecordingCompression::None;
  throw py::value_error("compression must be zstd, lz4 or none, got " + name);
}

// Records in the dict's order.
FactRecords Records(const py::dict& records) {
  FactRecords out;
  for (const auto& [name, entries] : records) {
    out.emplace_back(name.cast<std::string>(), entries.cast<RecordingWriter::Entries>());
  }
  return out;
}

template <class T>
using Column = py::array_t<T, py::array::c_style | py::array::forcecast>;

template <class T>
std::span<const T> View(const Column<T>& a) {
  return {a.data(), static_cast<std::size_t>(a.size())};
}

template <class T>
std::vector<T> Copied(const py::handle& raw, const char* name) {
  const auto column = Column<T>::ensure(raw.attr(name));
  if (!column) throw py::error_already_set();
  return {column.data(), column.data() + column.size()};
}

// A batch made in Python with the columns of a drained one (.basic.raw and .extra.raw, each
// None or with seq, receive_time_ns, receive_mono_ns, robot_time, offsets and data), as
// tests write recordings of chosen samples.
quor::CaptureBatch BatchOf(const py::handle& batch) {
  quor::CaptureBatch out;
  for (auto [name, rows] : {std::pair{"basic", static_cast<quor::StreamRows*>(&out.basic)},
                            std::pair{"extra", static_cast<quor::StreamRows*>(&out.extra)}}) {
    const py::object raw = batch.attr(name).attr("raw");
    if (raw.is_none()) continue;
    quor::RawSamples& r = rows->raw;
    r.seq = Copied<std::uint64_t>(raw, "seq");
    r.receive_time_ns = Copied<std::int64_t>(raw, "receive_time_ns");
    r.receive_mono_ns = Copied<std::int64_t>(raw, "receive_mono_ns");
    r.robot_time = Copied<std::int32_t>(raw, "robot_time");
    r.offsets = Copied<std::uint64_t>(raw, "offsets");
    r.data = Copied<std::uint8_t>(raw, "data");
    const std::size_t n = r.seq.size();
    if (r.receive_time_ns.size() != n || r.receive_mono_ns.size() != n ||
        r.robot_time.size() != 2 * n || r.offsets.size() != n + 1 ||
        r.offsets.back() > r.data.size()) {
      throw py::value_error(std::string("the batch's ") + name + " columns do not fit together");
    }
    for (std::size_t i = 0; i < n; ++i) {
      if (r.offsets[i] > r.offsets[i + 1]) {
        throw py::value_error(std::string("the batch's ") + name + " offsets fall");
      }
    }
  }
  return out;
}

class PyRecordingWriter {
 public:
  PyRecordingWriter(const std::string& path, const std::string& compression,
                    std::uint64_t chunk_bytes, const quor::RecordingParts& parts) {
    const quor::RecordingCompression c = CompressionOf(compression);
    if (parts.seconds < 0.0) throw py::value_error("split_seconds must not be negative");
    try {
      w_.emplace(path, c, chunk_bytes, parts);
    } catch (const WriteError& e) {
      Raise(e, &path);
    }
  }

  // Runs `f` on the writer without the GIL (the arguments are the caller's to keep alive).
  template <class F>
  auto Do(F&& f) {
    if (!w_) throw py::value_error("the recording's file is closed");
    try {
      py::gil_scoped_release release;
      return f(*w_);
    } catch (const WriteError& e) {
      Raise(e);
    }
  }

  void AddMessages(const Column<std::uint16_t>& channel, const Column<std::uint64_t>& log_ns,
                   const Column<std::uint64_t>& publish_ns, const Column<std::uint32_t>& sequence,
                   const Column<std::uint64_t>& offsets, const Column<std::uint8_t>& data) {
    const quor::MessageColumns m{View(channel),  View(log_ns),  View(publish_ns),
                                 View(sequence), View(offsets), View(data)};
    Do([&](RecordingWriter& w) { w.AddMessages(m); });  // std::invalid_argument: ValueError
  }

  bool Salvage(const RecordingWriter::Entries& end) {
    if (!w_) return false;
    const bool ok = w_->Salvage(end);
    Close();
    return ok;
  }

  void Close() {
    if (w_) size_ = w_->size(), paths_ = w_->paths();
    w_.reset();
  }
  std::vector<std::string> paths() const { return w_ ? w_->paths() : paths_; }
  std::uint64_t size() const { return w_ ? w_->size() : size_; }
  std::uint16_t RawChannel(const std::string& stream) const {
    if (!w_) throw py::value_error("the recording's file is closed");
    return w_->RawChannel(stream);
  }

 private:
  std::optional<RecordingWriter> w_;
  std::uint64_t size_ = 0;
  std::vector<std::string> paths_;
};

}  // namespace

void BindRecordingWriter(py::module_& m) {
  py::class_<PyRecordingWriter>(
      m, "RecordingWriter",
      "A recording written natively, in the layout the C++ Recorder writes: chunked, "
      "compressed, every record whole. A failed write raises OSError(errno, 'writing PATH "
      "failed: ...') and leaves the file ending on its last whole record; salvage() then "
      "closes it readable.")
      .def(py::init([](const std::string& path, const std::string& compression,
                       std::uint64_t chunk_bytes, double split_seconds, std::uint64_t split_bytes,
                       std::size_t keep) {
             return new PyRecordingWriter(path, compression, chunk_bytes,
                                          {split_seconds, split_bytes, keep});
           }),
           py::arg("path"), py::arg("compression") = "zstd", py::arg("chunk_bytes") = 0,
           py::kw_only(), py::arg("split_seconds") = 0.0, py::arg("split_bytes") = 0,
           py::arg("keep") = 0,
           "Creates (or empties) the file; OSError as open() gives it if it cannot. "
           "chunk_bytes 0: the recording's own chunk size. split_seconds or split_bytes: a "
           "recording in parts, each complete, in the folder `path` (a trailing .mcap left "
           "off), the oldest beyond `keep` (0: none) deleted.")
      .def(
          "start",
          [](PyRecordingWriter& s, const std::string& library, const std::string& serial,
             const py::dict& facts, const py::dict& extra) {
            const FactRecords f = Records(facts), x = Records(extra);
            s.Do([&](RecordingWriter& w) { w.Start(library, serial, f, x); });
          },
          py::arg("library"), py::arg("serial"), py::arg("facts"), py::arg("extra") = py::dict(),
          "The header, the fact records (korvelquor.recording first, then in the dict's "
          "order), the raw channels of the robot `serial`, then the `extra` records.")
      .def(
          "add",
          [](PyRecordingWriter& s, const py::object& batch) {
            if (py::isinstance<quor::CaptureBatch>(batch)) {
              const auto& drained = batch.cast<const quor::CaptureBatch&>();
              s.Do([&](RecordingWriter& w) { w.Add(drained); });
            } else {
              const quor::CaptureBatch made = BatchOf(batch);
              s.Do([&](RecordingWriter& w) { w.Add(made); });
            }
          },
          py::arg("batch"),
          "Every raw sample of both streams of a drained Batch (or an object with its "
          ".basic.raw and .extra.raw columns), merged in order of arrival.")
      .def("raw_channel", &PyRecordingWriter::RawChannel, py::arg("stream"),
           "The id of the raw channel of 'basic' or 'extra' (for samples copied with "
           "add_messages).")
      .def(
          "add_channel",
          [](PyRecordingWriter& s, const std::string& topic, const std::string& message_encoding,
             const std::string& schema_name, const std::string& schema_encoding,
             const py::bytes& schema_data) {
            const std::string_view d = schema_data;
            const quor::ChannelSpec spec{
                topic, message_encoding, schema_name, schema_encoding, {d.begin(), d.end()}};
            return s.Do([&](RecordingWriter& w) { return w.AddChannel(spec); });
          },
          py::arg("topic"), py::arg("message_encoding"), py::arg("schema_name") = "",
          py::arg("schema_encoding") = "", py::arg("schema_data") = py::bytes(),
          "A channel beyond the raw ones (and its schema, unless schema_name is empty); its id.")
      .def("add_messages", &PyRecordingWriter::AddMessages, py::arg("channel"), py::arg("log_ns"),
           py::arg("publish_ns"), py::arg("sequence"), py::arg("offsets"), py::arg("data"),
           "Messages in file order, as columns of equal length (uint16 channel ids, uint64 "
           "log and publish times, uint32 sequence); payload i is "
           "data[offsets[i]:offsets[i + 1]].")
      .def(
          "flush", [](PyRecordingWriter& s) { s.Do([](RecordingWriter& w) { w.Flush(); }); },
          "Ends the chunk in progress and writes it out.")
      .def(
          "finish",
          [](PyRecordingWriter& s, const RecordingWriter::Entries& end) {
            s.Do([&](RecordingWriter& w) { w.Finish(end); });
            s.Close();
          },
          py::arg("end"),
          "The end record of `end` and the closing records; the file is "
          "complete and closed.")
      .def("salvage", &PyRecordingWriter::Salvage, py::arg("end"),
           "After a failed write: the end record of `end` and the closing records, if there "
           "is room; closes the file. True when they went in.")
      .def("close", &PyRecordingWriter::Close, "Closes the file as it is.")
      .def_property_readonly("size", &PyRecordingWriter::size,
                             "Bytes written, all whole records (in every part so far).")
      .def_property_readonly("paths", &PyRecordingWriter::paths,
                             "The files written and not deleted, oldest first.");
}

}  // namespace korvel::python
