#pragma once
// For the Python tools, which check a file's layout themselves (with their own messages) and
// hand it over, and want each block's arrays beside its batches.

#include <cstdint>
#include <span>
#include <string>

#include "client/client_access.hpp"
#include "recording/recording_reader.hpp"

namespace korvel::quor_impl {

// A stream's samples of the latest block, undecodable ones included.
struct RecordedArrays {
  bool in_block = false;  // the stream's batch belongs to the latest block
  std::span<const std::uint64_t> seq;
  std::span<const std::int64_t> receive_time_ns;
};

struct RecordingReaderAccess {
  // stream: 0 basic, 1 extra.
  static RecordedArrays Arrays(const quor::RecordingReader& reader, int stream);
  static quor::RecordingReader Open(const std::string& path, const ClientLayout& layout,
                                    quor::RecordingReaderOptions options);
};

}  // namespace korvel::quor_impl
