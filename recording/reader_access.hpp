#pragma once
// For the Python tools, which want the layout a file was decoded with (for their own decoding
// of chosen samples), each block's arrays beside its batches, and a replay's raw samples.

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "client/client_access.hpp"
#include "client/stream.hpp"
#include "recording/recording_reader.hpp"

namespace korvel::quor_impl {

// A stream's samples of the latest block, undecodable ones included.
struct RecordedArrays {
  bool in_block = false;  // the stream's batch belongs to the latest block
  std::span<const std::uint64_t> seq;
  std::span<const std::int64_t> receive_time_ns;
};

// Samples of both streams in file order, undecoded, as the file holds them.
struct RawRecorded {
  std::vector<std::uint8_t> stream;  // 0 basic, 1 extra
  std::vector<std::uint32_t> sequence;
  std::vector<std::int64_t> log_time;
  std::vector<std::int64_t> publish_time;
  std::vector<std::uint8_t> data;
  std::vector<std::uint64_t> offsets{0};  // samples + 1
};

struct RecordingReaderAccess {
  // For a replay: the file checked as for reading, but no layout needed; NextRaw() only.
  static quor::RecordingReader OpenRaw(const std::string& path, std::size_t block_rows);
  // The next samples (about block_rows); false once every sample was read.
  static bool NextRaw(quor::RecordingReader& reader, RawRecorded& out);
  static RecordedArrays Arrays(const quor::RecordingReader& reader, quor::Stream stream);
  // The layout of the file's layout record, as checked when it was opened.
  static const ClientLayout& Layout(const quor::RecordingReader& reader);
  // Samples per stream (basic, extra) as the file's summary counts them, undecodable ones
  // too, for sizing tables before reading: nothing for a file without a summary that holds.
  // A count is believed only as far as the file's size can hold that many samples.
  static std::optional<std::array<std::uint64_t, 2>> SummaryCounts(const std::string& path);
};

}  // namespace korvel::quor_impl
