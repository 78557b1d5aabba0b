// A recording read natively, a block at a time, into the batches a live capture gives.

#include <optional>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "python/capture_bindings.hpp"
#include "python/recorded_layout.hpp"
#include "recording/file_format.hpp"
#include "recording/reader_access.hpp"
#include "stream/record_fields.hpp"

namespace py = pybind11;

namespace korvel::python {

namespace {

using quor::RecordingReader;
namespace rf = quor::recording_format;

template <class T>
py::array_t<T> Copy(std::span<const T> values) {
  py::array_t<T> out(static_cast<py::ssize_t>(values.size()));
  std::copy(values.begin(), values.end(), out.mutable_data());
  return out;
}

// Every group's values of a batch as one float64 block, one row per table column (groups
// in their order, each group's fields in the order of its field table, each field's values
// in order): each column contiguous, as pandas keeps a float block and Arrow a column.
// `out`, when given, receives them instead: (columns, rows) float64, each column contiguous
// (a slice of a larger table's columns, say), so that a table is filled without a copy per
// block.
template <class Batch>
py::array GroupValues(const Batch& batch, std::optional<py::array> out) {
  using Columns = typename decltype(batch.groups)::mapped_type;
  using Record = std::conditional_t<std::is_same_v<Columns, quor::StateColumns>, quor::RobotStates,
                                    quor::RobotActions>;
  const auto& table = quor_impl::FieldsOf<Record>();
  constexpr auto kColumns = Columns::Fields();
  const std::size_t rows = batch.rows;
  std::size_t width = 0;
  for (const auto& [g, c] : batch.groups) {
    quor_impl::ForEachPair(table, kColumns, [&](const auto& field, auto column) {
      const std::size_t w = field.Width(c.dof);
      if ((c.*column).size() != rows * w) {
        throw std::logic_error("a group column of " + std::to_string((c.*column).size()) +
                               " values in a batch of " + std::to_string(rows) + " rows x " +
                               std::to_string(w));
      }
      width += w;
    });
  }
  const auto shape = [](std::size_t a, std::size_t b) {
    return "(" + std::to_string(a) + ", " + std::to_string(b) + ")";
  };
  if (!out) {
    out.emplace(py::array_t<double>(
        std::vector<py::ssize_t>{static_cast<py::ssize_t>(width), static_cast<py::ssize_t>(rows)}));
  } else if (!out->dtype().is(py::dtype::of<double>()) || out->ndim() != 2 ||
             static_cast<std::size_t>(out->shape(0)) != width ||
             static_cast<std::size_t>(out->shape(1)) != rows || !out->writeable() ||
             // An empty array's strides are whatever NumPy made them: nothing is written.
             (width != 0 && rows != 0 &&
              ((rows > 1 && out->strides(1) != sizeof(double)) ||
               out->strides(0) % sizeof(double) != 0))) {
    throw py::value_error("out must be a writeable float64 array of shape " + shape(width, rows) +
                          " with contiguous columns");
  }
  const std::size_t stride =
      width > 1 ? static_cast<std::size_t>(out->strides(0)) / sizeof(double) : 0;
  double* to = static_cast<double*>(out->mutable_data());
  {
    py::gil_scoped_release release;
    for (const auto& [g, c] : batch.groups) {
      quor_impl::ForEachPair(table, kColumns, [&](const auto& field, auto column) {
        const std::size_t w = field.Width(c.dof);
        const double* from = (c.*column).data();
        for (std::size_t j = 0; j < w; ++j, to += stride) {
          const double* in = from + j;
          for (std::size_t r = 0; r < rows; ++r, in += w) to[r] = *in;
        }
      });
    }
  }
  return *out;
}

py::object Block(const RecordingReader& reader, quor::Stream stream) {
  const quor_impl::RecordedArrays a = quor_impl::RecordingReaderAccess::Arrays(reader, stream);
  if (!a.in_block) return py::none();
  py::dict block;
  block["seq"] = Copy(a.seq);
  block["receive_time_ns"] = Copy(a.receive_time_ns);
  return block;
}

}  // namespace

void BindRecordingReader(py::module_& m) {
  m.def("group_values", &GroupValues<quor::BasicBatch>, py::arg("batch"),
        py::arg("out") = py::none(),
        "Every joint group's columns of the batch as one float64 array (columns x rows), in "
        "the order of batch.groups and each group's fields; written into `out` if given.");
  m.def("group_values", &GroupValues<quor::ExtraBatch>, py::arg("batch"),
        py::arg("out") = py::none());
  py::dict format;
  format["format_version"] = rf::kFormatVersion;
  format["profile"] = rf::kProfile;
  format["protocol_version"] = rf::kProtocolVersion;
  format["message_encoding"] = rf::kMessageEncoding;
  format["streams"] = py::make_tuple(rf::kStreams[0], rf::kStreams[1]);
  py::dict records;
  records["recording"] = rf::kMetaRecording;
  records["layout"] = rf::kMetaLayout;
  records["plan_info"] = rf::kMetaPlanInfo;
  records["configuration_score"] = rf::kMetaScore;
  records["primitive_states"] = rf::kMetaPrimitives;
  records["end"] = rf::kMetaEnd;
  records["viewable"] = rf::kMetaViewable;
  format["records"] = records;
  m.attr("RECORDING_FORMAT") = format;
  m.def("recording_topic", &rf::Topic, py::arg("serial"), py::arg("stream"),
        "The key expression a stream's samples arrive on: the topic of its recorded channel.");

  py::class_<quor::RecordingEnd>(m, "RecordingEnd", "How a recording ended.")
      .def(py::init<>())
      .def_readonly("complete", &quor::RecordingEnd::complete, "The closing records are there.")
      .def_readonly("size", &quor::RecordingEnd::size, "Bytes in the file.")
      .def_readonly("good_bytes", &quor::RecordingEnd::good_bytes,
                    "Bytes up to the end of the last complete record.")
      .def_readonly("problem", &quor::RecordingEnd::problem,
                    "Why reading stopped early, if it did.")
      .def_readonly("skipped", &quor::RecordingEnd::skipped, "Damaged records: [(byte, why)].")
      .def_property_readonly("clean", &quor::RecordingEnd::clean)
      .def("describe", &quor::RecordingEnd::Describe, py::arg("path"),
           "One line: complete, or where it was cut short and what was skipped.")
      .def("__repr__",
           [](const quor::RecordingEnd& e) { return "RecordingEnd(" + e.Describe("file") + ")"; });

  py::class_<RecordingReader>(m, "RecordingReader",
                              "A recording's samples decoded a block at a time.")
      .def(py::init([](const std::string& path, bool basic, bool extra, std::size_t block_rows,
                       std::optional<std::pair<std::uint64_t, std::uint64_t>> log_window) {
             const auto [from, to] = log_window.value_or(std::pair{0, UINT64_MAX});
             py::gil_scoped_release release;
             return RecordingReader(path, {block_rows, basic, extra, from, to});
           }),
           py::arg("path"), py::arg("basic") = true, py::arg("extra") = true,
           py::arg("block_rows") = 10'000, py::arg("log_window") = py::none(),
           "Opens and checks the file, its joint-group layout included (NativeRecordingError "
           "naming the file and what failed). log_window (from_ns, to_ns): only the samples "
           "received in it, both ends included, read through the file's chunk index where it "
           "has one.")
      .def(
          "next_block",
          [](RecordingReader& reader) -> py::object {
            quor::RecordedBlock block;
            bool more;
            {
              py::gil_scoped_release release;
              more = reader.Next(block);
            }
            if (!more) return py::none();
            py::list out;
            if (py::object b = Block(reader, quor::Stream::Basic); !b.is_none()) {
              out.append(py::make_tuple("basic", py::cast(std::move(block.basic)), b));
            }
            if (py::object b = Block(reader, quor::Stream::Extra); !b.is_none()) {
              out.append(py::make_tuple("extra", py::cast(std::move(block.extra)), b));
            }
            return out;
          },
          "The next block: [(stream, batch, {seq, receive_time_ns})] for each stream it "
          "holds, or None at the end.")
      .def_static(
          "open_raw",
          [](const std::string& path, std::size_t block_rows) {
            py::gil_scoped_release release;
            return quor_impl::RecordingReaderAccess::OpenRaw(path, block_rows);
          },
          py::arg("path"), py::arg("block_rows") = 10'000,
          "Opens and checks the file for next_raw() (a replay): no layout is needed.")
      .def(
          "next_raw",
          [](RecordingReader& reader) -> py::object {
            quor_impl::RawRecorded raw;
            bool more;
            {
              py::gil_scoped_release release;
              more = quor_impl::RecordingReaderAccess::NextRaw(reader, raw);
            }
            if (!more) return py::none();
            py::dict out;
            out["stream"] = Copy<std::uint8_t>(raw.stream);
            out["sequence"] = Copy<std::uint32_t>(raw.sequence);
            out["log_time"] = Copy<std::int64_t>(raw.log_time);
            out["publish_time"] = Copy<std::int64_t>(raw.publish_time);
            out["offsets"] = Copy<std::uint64_t>(raw.offsets);
            out["data"] =
                py::bytes(reinterpret_cast<const char*>(raw.data.data()), raw.data.size());
            return out;
          },
          "The next samples of both streams in file order, undecoded (a reader from "
          "open_raw()): stream (0 basic, 1 extra), sequence, log_time, publish_time, offsets "
          "(samples + 1) and data (bytes); None at the end.")
      .def_static(
          "summary_counts",
          [](const std::string& path) -> py::object {
            std::optional<std::array<std::uint64_t, 2>> counts;
            {
              py::gil_scoped_release release;
              counts = quor_impl::RecordingReaderAccess::SummaryCounts(path);
            }
            if (!counts) return py::none();
            py::dict out;
            out[rf::kStreams[0]] = (*counts)[0];
            out[rf::kStreams[1]] = (*counts)[1];
            return out;
          },
          py::arg("path"),
          "Samples per stream as the file's summary counts them (undecodable ones too), each "
          "at most what the file's size can hold; None for a file without a summary that "
          "holds (one cut short).")
      .def_property_readonly(
          "layout",
          [](const RecordingReader& reader) {
            return LayoutDict(quor_impl::RecordingReaderAccess::Layout(reader));
          },
          "The layout dict of the file's layout record, as decode_recording takes it.")
      .def_property_readonly("samples_read", &RecordingReader::samples_read)
      .def_property_readonly("metadata", &RecordingReader::metadata)
      .def_property_readonly("end", &RecordingReader::end,
                             "How the file ended so far (RecordingEnd).");

  py::register_exception<quor::RecordingError>(m, "NativeRecordingError", PyExc_ValueError);
}

}  // namespace korvel::python
