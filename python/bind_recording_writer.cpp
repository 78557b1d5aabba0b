// The native MCAP writer for the Python tools' recordings: the records of a file, and a
// drained batch's samples merged and written in one call, without the GIL.

#include <cerrno>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "mcapfile/writer.hpp"
#include "recording/file_format.hpp"
#include "python/capture_bindings.hpp"

namespace py = pybind11;

namespace korvel::python {

namespace {

using mcapfile::Writer;
using mcapfile::WriteError;

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

mcapfile::Compression CompressionOf(const std::string& name) {
  if (name == "zstd") return mcapfile::Compression::kZstd;
  if (name == "lz4") return mcapfile::Compression::kLz4;
  if (name == "none") return mcapfile::Compression::kNone;
  throw py::value_error("compression must be zstd, lz4 or none, got " + name);
}

class PyWriter {
 public:
  PyWriter(const std::string& path, const std::string& compression, std::uint64_t chunk_bytes) {
    const mcapfile::Compression c = CompressionOf(compression);
    try {
      w_.emplace(path, c, chunk_bytes);
    } catch (const WriteError& e) {
      Raise(e, &path);
    }
  }

  template <class F>
  auto Do(F&& f) {
    if (!w_) throw py::value_error("the recording's file is closed");
    try {
      return f(*w_);
    } catch (const WriteError& e) {
      Raise(e);
    }
  }

  void Merged(const py::list& streams) {
    using I64 = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>;
    using U64 = py::array_t<std::uint64_t, py::array::c_style | py::array::forcecast>;
    using U32 = py::array_t<std::uint32_t, py::array::c_style | py::array::forcecast>;
    using U8 = py::array_t<std::uint8_t, py::array::c_style | py::array::forcecast>;
    // The arrays stay referenced here while the GIL is released.
    std::vector<std::tuple<I64, U64, U64, U32, U64, U8>> keep;
    std::vector<mcapfile::StreamSamples> samples;
    keep.reserve(streams.size());
    for (const py::handle item : streams) {
      const auto t = item.cast<py::tuple>();
      if (t.size() != 7) throw py::value_error("a stream is (channel, mono, log, publish, seq, offsets, data)");
      keep.emplace_back(I64::ensure(t[1]), U64::ensure(t[2]), U64::ensure(t[3]),
                        U32::ensure(t[4]), U64::ensure(t[5]), U8::ensure(t[6]));
      auto& [mono, log, publish, seq, offsets, data] = keep.back();
      if (!mono || !log || !publish || !seq || !offsets || !data) throw py::error_already_set();
      const auto n = static_cast<std::size_t>(seq.size());
      if (n > 0 && offsets.size() > 0 &&
          offsets.at(static_cast<py::ssize_t>(n)) > static_cast<std::uint64_t>(data.size())) {
        throw py::value_error("a stream's payload offsets run past its data");
      }
      samples.push_back({t[0].cast<std::uint16_t>(), {mono.data(), static_cast<std::size_t>(mono.size())},
                         {log.data(), static_cast<std::size_t>(log.size())},
                         {publish.data(), static_cast<std::size_t>(publish.size())},
                         {seq.data(), n}, {offsets.data(), static_cast<std::size_t>(offsets.size())},
                         data.data()});
    }
    Do([&](Writer& w) {
      py::gil_scoped_release release;
      w.Merged(samples);  // std::invalid_argument reaches Python as ValueError
    });
  }

  // (channel, log_time, publish_time, sequence, bytes) each.
  void Messages(const py::list& messages) {
    Do([&](Writer& w) {
      for (const py::handle item : messages) {
        const auto t = item.cast<py::tuple>();
        const py::buffer_info data = t[4].cast<py::buffer>().request();
        w.Message(t[0].cast<std::uint16_t>(), static_cast<std::uint32_t>(t[3].cast<std::uint64_t>()),
                  t[1].cast<std::uint64_t>(), t[2].cast<std::uint64_t>(),
                  {static_cast<const std::uint8_t*>(data.ptr), static_cast<std::size_t>(data.size * data.itemsize)});
      }
    });
  }

  bool Salvage(const Writer::Entries& end) {
    if (!w_) return false;
    const bool ok = w_->Salvage(korvel::quor::recording_format::kMetaEnd, end);
    size_ = w_->size();
    w_.reset();
    return ok;
  }

  void Close() {
    if (w_) size_ = w_->size();
    w_.reset();
  }
  std::uint64_t size() const { return w_ ? w_->size() : size_; }

 private:
  std::optional<Writer> w_;
  std::uint64_t size_ = 0;
};

}  // namespace

void BindRecordingWriter(py::module_& m) {
  py::class_<PyWriter>(m, "McapWriter",
                       "An MCAP file written natively: chunked, compressed, every record whole. "
                       "A failed write raises OSError(errno, 'writing PATH failed: ...') and "
                       "leaves the file ending on its last whole record.")
      .def(py::init<const std::string&, const std::string&, std::uint64_t>(), py::arg("path"),
           py::arg("compression") = "zstd", py::arg("chunk_bytes") = Writer::kChunkBytes,
           "Creates (or empties) the file; OSError as open() gives it if it cannot.")
      .def("start", [](PyWriter& s, const std::string& profile, const std::string& library) {
             s.Do([&](Writer& w) { w.Start(profile, library); });
           }, py::arg("profile"), py::arg("library"), "The magic and the header record.")
      .def("metadata", [](PyWriter& s, const std::string& name, const Writer::Entries& e) {
             s.Do([&](Writer& w) { w.Metadata(name, e); });
           }, py::arg("name"), py::arg("metadata"), "A metadata record.")
      .def("schema", [](PyWriter& s, const std::string& name, const std::string& encoding,
                        const py::bytes& data) {
             const std::string_view d = data;
             return s.Do([&](Writer& w) {
               return w.Schema(name, encoding, {reinterpret_cast<const std::uint8_t*>(d.data()), d.size()});
             });
           }, py::arg("name"), py::arg("encoding"), py::arg("data"), "A schema; its id.")
      .def("channel", [](PyWriter& s, std::uint16_t schema, const std::string& topic,
                         const std::string& encoding, const Writer::Entries& metadata) {
             return s.Do([&](Writer& w) { return w.Channel(schema, topic, encoding, metadata); });
           }, py::arg("schema_id"), py::arg("topic"), py::arg("message_encoding"),
           py::arg("metadata") = Writer::Entries{}, "A channel (schema 0: none); its id.")
      .def("messages", &PyWriter::Messages, py::arg("messages"),
           "Messages, each (channel, log_time, publish_time, sequence, data).")
      .def("merged", &PyWriter::Merged, py::arg("streams"),
           "Streams' samples merged by monotonic time, each stream (channel, mono_ns, log_ns, "
           "publish_ns, seq, offsets, data); ties go to the earlier stream.")
      .def("flush", [](PyWriter& s) { s.Do([](Writer& w) { w.Flush(); }); },
           "Ends the chunk in progress and writes it out.")
      .def("finish", [](PyWriter& s) {
             s.Do([](Writer& w) { w.Finish(); });
             s.Close();
           }, "The closing records; the file is complete and closed.")
      .def("salvage", &PyWriter::Salvage, py::arg("end"),
           "After a failed write: a korvelquor.end record of `end` and the closing records, "
           "if there is room; closes the file. True when they went in.")
      .def("close", &PyWriter::Close, "Closes the file as it is.")
      .def_property_readonly("size", &PyWriter::size, "Bytes in the file, all whole records.");
}

}  // namespace korvel::python
