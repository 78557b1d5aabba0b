#include "recording/recording_writer.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <stdexcept>
#include <system_error>

#include "capture/robot_time.hpp"
#include "recording/file_format.hpp"

namespace korvel::quor {

namespace {

namespace rf = recording_format;

mcapfile::Compression CompressionOf(RecordingCompression c) {
  switch (c) {
    case RecordingCompression::Lz4:
      return mcapfile::Compression::kLz4;
    case RecordingCompression::None:
      return mcapfile::Compression::kNone;
    case RecordingCompression::Zstd:
      break;
  }
  return mcapfile::Compression::kZstd;
}

std::size_t StreamIndex(std::string_view stream) {
  for (std::size_t k = 0; k < rf::kStreams.size(); ++k) {
    if (stream == rf::kStreams[k]) return k;
  }
  throw std::invalid_argument("no stream named " + std::string(stream) + "; basic or extra");
}

namespace fs = std::filesystem;

// The folder of a split recording: its path, a trailing ".mcap" left off.
std::string FolderOf(const std::string& path, const RecordingParts& parts) {
  if (!parts.split()) return {};
  std::string folder = path;
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  constexpr std::string_view kSuffix = ".mcap";
  if (folder.size() > kSuffix.size() && folder.ends_with(kSuffix)) {
    folder.resize(folder.size() - kSuffix.size());
  }
  std::error_code ec;
  fs::create_directories(folder, ec);
  if (ec) throw mcapfile::WriteError("cannot write " + folder + ": " + ec.message(), ec.value());
  return folder;
}

// Six digits sort in order for the parts of 23 days split every two seconds.
std::string PartPath(const std::string& folder, std::size_t part) {
  char number[32];
  std::snprintf(number, sizeof number, "_%06zu.mcap", part);
  return (fs::path(folder) / fs::path(folder).filename()).string() + number;
}

std::int64_t WallNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace

mcapfile::StreamSamples RecordingWriter::RawColumns::Of(std::uint16_t channel,
                                                        const RawSamples& raw) {
  const std::size_t n = raw.seq.size();
  log.resize(n);
  publish.resize(n);
  seq.resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    log[i] = static_cast<std::uint64_t>(raw.receive_time_ns[i]);
    publish[i] = RobotTimeFileNs(raw.robot_time[2 * i], raw.robot_time[2 * i + 1]);
    // The file's sequence field is 32 bits; the count runs on and wraps there.
    seq[i] = static_cast<std::uint32_t>(raw.seq[i]);
  }
  return {channel, raw.receive_mono_ns, log, publish, seq, raw.offsets, raw.data.data()};
}

RecordingWriter::RecordingWriter(const std::string& path, RecordingCompression compression,
                                 std::uint64_t chunk_bytes, RecordingParts parts)
    : compression_(CompressionOf(compression)),
      chunk_bytes_(chunk_bytes != 0 ? chunk_bytes : rf::kChunkBytes),
      parts_(parts),
      folder_(FolderOf(path, parts)),
      paths_{parts.split() ? PartPath(folder_, 0) : path},
      writer_(paths_.back(), compression_, chunk_bytes_) {}

void RecordingWriter::Start(std::string_view library, const std::string& serial,
                            const quor_impl::FactRecords& facts,
                            const quor_impl::FactRecords& extra) {
  const auto recording = std::find_if(facts.begin(), facts.end(), [](const auto& record) {
    return record.first == rf::kMetaRecording;
  });
  if (recording == facts.end()) {
    throw std::invalid_argument(std::string("the facts hold no ") + rf::kMetaRecording + " record");
  }
  library_ = library;
  serial_ = serial;
  facts_ = {*recording};
  for (const auto& record : facts) {
    if (record.first != rf::kMetaRecording) facts_.push_back(record);
  }
  extra_ = extra;
  WriteHead();
}

void RecordingWriter::WriteHead() {
  writer_.Start(rf::kProfile, library_);
  for (auto [name, entries] : facts_) {
    if (name == rf::kMetaRecording && parts_.split()) entries["part"] = std::to_string(part_);
    writer_.Metadata(name, entries);
  }
  for (std::size_t k = 0; k < rf::kStreams.size(); ++k) {
    raw_channels_[k] = writer_.Channel(0, rf::Topic(serial_, rf::kStreams[k]), rf::kMessageEncoding,
                                       {{rf::kStreamKey, rf::kStreams[k]}});
  }
  for (const auto& [name, entries] : extra_) writer_.Metadata(name, entries);
  for (const auto& [spec, id] : channels_) {
    // The file's ids are given in order, so a part declaring the same channels in the same
    // order gives them the same ids: the hook's callers keep theirs.
    if (WriteChannel(spec) != id) throw std::logic_error("a new part renumbered " + spec.topic);
  }
}

void RecordingWriter::Add(const CaptureBatch& batch) {
  const std::array<const StreamRows*, 2> rows = {&batch.basic, &batch.extra};
  std::int64_t first = std::numeric_limits<std::int64_t>::max();
  std::int64_t last = std::numeric_limits<std::int64_t>::min();
  for (const StreamRows* r : rows) {
    if (r->raw.seq.empty()) continue;
    first = std::min(first, r->raw.receive_mono_ns.front());
    last = std::max(last, r->raw.receive_mono_ns.back());
  }
  const bool any = first <= last;
  if (parts_.split() && any) {
    const bool part_has_samples = counts_.samples[0] + counts_.samples[1] > 0;
    const auto span = static_cast<std::int64_t>(parts_.seconds * 1e9);
    if (span > 0 && !grid_) boundary_mono_ = first + span, grid_ = true;
    const bool past_time = span > 0 && first >= boundary_mono_;
    const bool past_size = parts_.bytes > 0 && writer_.size() >= parts_.bytes;
    if (part_has_samples && (past_time || past_size)) NextPart();
    // The boundaries stay on one grid from the first sample, whatever the drains' timing.
    while (span > 0 && first >= boundary_mono_) boundary_mono_ += span;
  }

  if (any && counts_.samples[0] + counts_.samples[1] == 0) counts_.first_mono = first;
  if (any) counts_.last_mono = std::max(counts_.last_mono, last);
  std::array<mcapfile::StreamSamples, 2> streams;
  std::size_t n = 0;
  for (std::size_t k = 0; k < rows.size(); ++k) {
    counts_.dropped[k] += rows[k]->dropped;
    if (rows[k]->raw.seq.empty()) continue;
    streams[n++] = columns_[k].Of(raw_channels_[k], rows[k]->raw);
    counts_.samples[k] += rows[k]->raw.seq.size();
  }
  // Merged by the monotonic receive time, which never steps back as the wall clock may: one
  // stream's order is never changed.
  if (n > 0) writer_.Merged({streams.data(), n});
}

void RecordingWriter::NextPart() {
  writer_.Metadata(rf::kMetaEnd, PartEnd({{"stopped_by", "the next part"},
                                          {"ended_ns", std::to_string(WallNs())}}));
  writer_.Finish();
  std::string path = PartPath(folder_, part_ + 1);
  mcapfile::Writer next(path, compression_, chunk_bytes_);
  written_ += writer_.size();
  writer_ = std::move(next);
  paths_.push_back(std::move(path));
  ++part_;
  while (parts_.keep > 0 && paths_.size() > parts_.keep) {
    std::error_code ignored;  // a part deleted by hand meanwhile is no failure
    fs::remove(paths_.front(), ignored);
    paths_.erase(paths_.begin());
  }
  counts_ = {};
  WriteHead();
}

RecordingWriter::Entries RecordingWriter::PartEnd(Entries end) const {
  if (!parts_.split()) return end;
  RecordingSummary part;
  part.seconds = static_cast<double>(counts_.last_mono - counts_.first_mono) / 1e9;
  part.basic.samples = counts_.samples[0];
  part.basic.dropped = counts_.dropped[0];
  part.extra.samples = counts_.samples[1];
  part.extra.dropped = counts_.dropped[1];
  for (const auto& [key, value] : quor_impl::EndRecord(part, 0)) {
    if (key != "stopped_by" && key != "ended_ns") end[key] = value;
  }
  return end;
}

std::uint16_t RecordingWriter::RawChannel(std::string_view stream) const {
  return raw_channels_[StreamIndex(stream)];
}

std::uint16_t RecordingWriter::AddChannel(const ChannelSpec& spec) {
  const std::uint16_t id = WriteChannel(spec);
  channels_.emplace_back(spec, id);
  return id;
}

std::uint16_t RecordingWriter::WriteChannel(const ChannelSpec& spec) {
  std::uint16_t schema = 0;
  if (!spec.schema_name.empty()) {
    schema = writer_.Schema(spec.schema_name, spec.schema_encoding, spec.schema_data);
  }
  return writer_.Channel(schema, spec.topic, spec.message_encoding, {});
}

void RecordingWriter::AddMessages(const MessageColumns& m) {
  const std::size_t n = m.sequence.size();
  if (m.channel.size() != n || m.log_ns.size() != n || m.publish_ns.size() != n ||
      (n > 0 && m.offsets.size() != n + 1)) {
    throw std::invalid_argument("the messages' columns differ in length");
  }
  for (std::size_t i = 0; i < n; ++i) {
    if (m.offsets[i] > m.offsets[i + 1] || m.offsets[i + 1] > m.data.size()) {
      throw std::invalid_argument("the messages' payload offsets run past their data");
    }
  }
  for (std::size_t i = 0; i < n; ++i) {
    writer_.Message(m.channel[i], m.sequence[i], m.log_ns[i], m.publish_ns[i],
                    m.data.subspan(m.offsets[i], m.offsets[i + 1] - m.offsets[i]));
  }
}

void RecordingWriter::Flush() { writer_.Flush(); }

void RecordingWriter::Finish(const Entries& end) {
  writer_.Metadata(rf::kMetaEnd, PartEnd(end));
  writer_.Finish();
}

bool RecordingWriter::Salvage(const Entries& end) {
  return writer_.Salvage(rf::kMetaEnd, PartEnd(end));
}

}  // namespace korvel::quor
