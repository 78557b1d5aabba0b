#pragma once
// Reading a recording (the MCAP file `korvelquor record` writes) into the batches a live
// capture gives: the client's own decoder and assembly, a block of samples at a time, so that
// memory stays bounded by the block whatever the file's length.
//
//   korvel::quor::RecordingReader reader("run.mcap");
//   korvel::quor::RecordedBlock block;
//   while (reader.Next(block)) { ... block.basic.rows ... block.extra.groups ... }
//   if (!reader.end().complete) std::cerr << reader.end().Describe(reader.path()) << "\n";

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "capture/columns.hpp"

namespace korvel::quor_impl {
struct RecordingReaderAccess;
}

namespace korvel::quor {

// A file that is not a readable recording: the message names the file and what failed.
class RecordingError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// How a file ended, known once Next() has returned false.
struct RecordingEnd {
  bool complete = false;         // the closing records are there
  bool read_error = false;       // reading stopped at an I/O error (problem says where)
  std::uint64_t size = 0;        // bytes in the file
  std::uint64_t good_bytes = 0;  // up to the end of the last complete record
  std::string problem;           // why reading stopped early, if it did
  std::vector<std::pair<std::uint64_t, std::string>> skipped;  // damaged records: (byte, why)

  bool clean() const { return complete && skipped.empty(); }
  std::string Describe(const std::string& path) const;
};

// One block: each stream's samples read since the previous block, decoded. A stream not
// read, or without samples in this block, has zero rows.
struct RecordedBlock {
  BasicBatch basic;
  ExtraBatch extra;
};

struct RecordingReaderOptions {
  std::size_t block_rows = 10'000;  // samples per stream per block, about
  bool basic = true;
  bool extra = true;
  // Only the samples received from `from_log_ns` to `to_log_ns` (wall clock, ns since the
  // epoch; both ends included). Of a file with its index, only the chunks that hold such
  // samples are read; one without (cut short) is read through and gives the same samples.
  // An extra sample early in the window, before any basic one, takes the robot time the
  // recorder stamped it with (the latest basic stamp at its arrival).
  std::uint64_t from_log_ns = 0;
  std::uint64_t to_log_ns = UINT64_MAX;
};

using RecordingMetadata = std::map<std::string, std::map<std::string, std::string>>;

class RecordingReader {
 public:
  // Opens and checks the file: the MCAP magic, the profile, the recording facts first, a
  // known format and protocol version, a usable joint-group layout. Throws RecordingError.
  explicit RecordingReader(const std::string& path, RecordingReaderOptions options = {});
  RecordingReader(RecordingReader&&) noexcept;
  RecordingReader& operator=(RecordingReader&&) noexcept;
  ~RecordingReader();

  const std::string& path() const;
  // The metadata records by name: those before the first sample once opened, every one once
  // the file has been read (korvelquor.end among them when the recording ended normally).
  const RecordingMetadata& metadata() const;
  std::string serial() const;

  // The next block; false (and `block` untouched) once every sample was read. Throws
  // RecordingError when the file cannot be read on (an I/O error), after the blocks before it.
  bool Next(RecordedBlock& block);
  // Samples read so far, of the streams read.
  std::uint64_t samples_read() const;
  RecordingEnd end() const;

 private:
  friend struct quor_impl::RecordingReaderAccess;
  struct Impl;
  explicit RecordingReader(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace korvel::quor
