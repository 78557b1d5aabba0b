#pragma once
// A recording made from C++: every sample of both streams of a client, as received, into an
// MCAP file of the layout `korvelquor record` writes (its metadata records, its raw
// channels; the decoded viewer channels are the Python recorder's alone).
//
//   korvel::quor::Recorder recorder(client, "run.mcap");   // throws if it cannot be written
//   ... the control loop runs; the recorder drains on a thread of its own ...
//   const korvel::quor::RecordingSummary s = recorder.Stop();  // a complete file
//
// A keep-payloads capture is drained every 100 ms into the file and the chunk in progress
// goes out once a second, so a killed program loses at most the last second. A write that
// fails (disk full) ends the recording: the file keeps, readable, what was written before,
// closed with its end record when there is room, and the summary says what failed.
//
// The layout recorded is the client's own: a client that connected while the robot published
// nothing knows no joint-group names, and the recording's export then has no group columns
// (`korvelquor record` then makes a second client once the robot publishes, and records
// with that one; a program can do the same).

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "client/client.hpp"

namespace korvel::quor {

enum class RecordingCompression { Zstd, Lz4, None };

// A recording split into parts, each a complete recording of its own, for a recorder that runs
// all day. A new part begins with the first drain that comes `seconds` after the part's
// boundary, or once the part holds `bytes`; either 0: never. `keep` > 0 deletes the oldest
// parts beyond that many.
struct RecordingParts {
  double seconds = 0.0;
  std::uint64_t bytes = 0;
  std::size_t keep = 0;
  bool split() const { return seconds > 0.0 || bytes > 0; }
};

struct RecorderOptions {
  RecordingCompression compression = RecordingCompression::Zstd;
  std::size_t capacity = 30000;  // samples per stream the capture holds between drains
  std::chrono::milliseconds drain_period{100};
  std::chrono::milliseconds flush_period{1000};
  // Split: the path names a folder (a trailing ".mcap" left off) holding the parts.
  RecordingParts parts;
};

// One stream's counts.
struct RecordedCounts {
  std::uint64_t samples = 0;      // received and written
  std::uint64_t dropped = 0;      // lost by the capture's buffer before a drain
  std::uint64_t undecodable = 0;  // written as received, but they did not decode
};

struct RecordingSummary {
  std::string path;
  double seconds = 0.0;
  RecordedCounts basic, extra;
  std::uint64_t bytes = 0;  // in the file
  std::string stopped_by;   // empty while recording
  std::string error;        // what failed, empty when nothing did
  bool complete = false;    // the file has its closing records and index
};

class Recorder {
 public:
  // Creates the file, writes the client's connection facts (its layout, plan info,
  // configuration score and primitive states; a refused call is recorded as its error) and
  // starts recording. Throws std::runtime_error ("cannot write PATH: ...") when the file
  // cannot be created or its first records cannot be written.
  Recorder(const Client& client, const std::string& path, RecorderOptions options = {});
  // Stop("the recorder's end") unless stopped.
  ~Recorder();

  Recorder(const Recorder&) = delete;
  Recorder& operator=(const Recorder&) = delete;

  // Drains what is left, writes the end record and the closing records; returns the
  // summary. `stopped_by` goes into the file's end record. Later calls return the same.
  RecordingSummary Stop(const std::string& stopped_by = "Stop()");
  // The counts so far.
  RecordingSummary summary() const;
  // False once the recording has ended by itself (a write failed, the client went away).
  bool recording() const;

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace korvel::quor
