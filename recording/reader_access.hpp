#pragma once
// For the Python tools, which check a file's layout themselves (with their own messages) and
// hand it over, and want each block's arrays beside its batches.

#include <cstdint>
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
  static quor::RecordingReader Open(const std::string& path, const ClientLayout& layout,
                                    quor::RecordingReaderOptions options);
};

}  // namespace korvel::quor_impl
