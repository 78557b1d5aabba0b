#pragma once
// The one writer of a recording's layout, used by the C++ Recorder and by `korvelquor record`:
// the header, the fact records in their order (korvelquor.recording first), the raw channels
// and their samples (log time = wall receive time, publish time = the robot's timestamp,
// sequence = the stream's count, merged in order of arrival), chunking and compression, the
// end record and the closing records, and the salvage after a failed write.
//
// Channels beyond the raw ones come in through one hook, used today by the viewable channels:
//   Start(..., extra)            their metadata records, after the raw channels
//   AddChannel(spec) -> id       a channel (and its schema), declared when first needed
//   AddMessages(messages)        messages of such channels, stamped by the caller
//
// Every call that writes throws mcapfile::WriteError when the write fails; the file then ends
// on its last whole record and Salvage() closes it readable.
//
// Split into parts (RecordingParts), the path names a folder and the parts are
// FOLDER/NAME_000000.mcap, NAME_000001.mcap, ... (NAME: the folder's name), each a complete
// recording: the same facts (korvelquor.recording also saying which part it is), channels
// with the same ids, extra records, and an end record counting the part's own samples. A new
// part begins between two batches, so a batch is never divided and the stream's counts run on
// from part to part.

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "capture/columns.hpp"
#include "mcapfile/writer.hpp"
#include "recording/recorder.hpp"
#include "recording/recording_facts.hpp"

namespace korvel::quor {

// A channel beyond the raw ones (schema name empty: none).
struct ChannelSpec {
  std::string topic;
  std::string message_encoding;
  std::string schema_name;
  std::string schema_encoding;
  std::vector<std::uint8_t> schema_data;
};

// Messages in the order they go into the file, columns of equal length; payload i is
// data[offsets[i], offsets[i+1]).
struct MessageColumns {
  std::span<const std::uint16_t> channel;
  std::span<const std::uint64_t> log_ns;
  std::span<const std::uint64_t> publish_ns;
  std::span<const std::uint32_t> sequence;
  std::span<const std::uint64_t> offsets;
  std::span<const std::uint8_t> data;
};

class RecordingWriter {
 public:
  using Entries = mcapfile::Writer::Entries;

  // Creates (or empties) the file: WriteError ("cannot write PATH: ...") when it cannot.
  // `chunk_bytes` 0: the recording's own chunk size (smaller ones are for tests).
  RecordingWriter(const std::string& path, RecordingCompression compression,
                  std::uint64_t chunk_bytes = 0, RecordingParts parts = {});

  // The header (`library`: the writing program and its version), `facts` in their order with
  // korvelquor.recording first (std::invalid_argument without it), the raw channels of the
  // robot `serial`, then the `extra` records.
  void Start(std::string_view library, const std::string& serial,
             const quor_impl::FactRecords& facts, const quor_impl::FactRecords& extra = {});
  // Every raw sample of both streams of a drained batch, merged in order of arrival; split,
  // into a new part first when the batch begins past the part's end.
  void Add(const CaptureBatch& batch);
  // The raw channel of "basic" or "extra", for samples copied from another recording with
  // AddMessages, each stamped as it was there.
  std::uint16_t RawChannel(std::string_view stream) const;

  std::uint16_t AddChannel(const ChannelSpec& spec);
  void AddMessages(const MessageColumns& messages);

  // Ends the chunk in progress and writes it out: what was received is on disk.
  void Flush();
  // The end record and the closing records: the file is complete and closed. Split, the
  // counts in `end` are replaced by the last part's own.
  void Finish(const Entries& end);
  // After a WriteError: the end record and the closing records if there is room; closes the
  // file. True when they went in.
  bool Salvage(const Entries& end);
  // Bytes written, all of them whole records (split: in every part so far).
  std::uint64_t size() const { return written_ + writer_.size(); }
  // The files written and not deleted, oldest first (one unless split).
  const std::vector<std::string>& paths() const { return paths_; }
  // Split: the folder of the parts; else empty.
  const std::string& folder() const { return folder_; }

 private:
  // The samples of the part being written, for its end record.
  struct PartCounts {
    std::array<std::uint64_t, 2> samples{}, dropped{};
    std::int64_t first_mono = 0, last_mono = 0;
  };

  void WriteHead();
  std::uint16_t WriteChannel(const ChannelSpec& spec);
  void NextPart();
  Entries PartEnd(Entries end) const;

  // One stream's raw samples as the MCAP writer takes them.
  struct RawColumns {
    std::vector<std::uint64_t> log, publish;
    std::vector<std::uint32_t> seq;
    mcapfile::StreamSamples Of(std::uint16_t channel, const RawSamples& raw);
  };

  mcapfile::Compression compression_;
  std::uint64_t chunk_bytes_;
  RecordingParts parts_;
  std::string folder_;
  std::vector<std::string> paths_;
  std::size_t part_ = 0;
  mcapfile::Writer writer_;
  std::uint64_t written_ = 0;  // in the parts before this one

  // What every part begins with.
  std::string library_, serial_;
  quor_impl::FactRecords facts_, extra_;
  std::vector<std::pair<ChannelSpec, std::uint16_t>> channels_;

  std::array<std::uint16_t, 2> raw_channels_{};
  std::array<RawColumns, 2> columns_;
  PartCounts counts_;
  std::int64_t boundary_mono_ = 0;  // where the part in progress ends (split by seconds)
  bool grid_ = false;               // boundary_mono_ is set
  bool started_ = false;
};

}  // namespace korvel::quor
