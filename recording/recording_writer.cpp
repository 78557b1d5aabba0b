#include "recording/recording_writer.hpp"

#include <algorithm>
#include <stdexcept>

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
                                 std::uint64_t chunk_bytes)
    : writer_(path, CompressionOf(compression), chunk_bytes != 0 ? chunk_bytes : rf::kChunkBytes) {}

void RecordingWriter::Start(std::string_view library, const std::string& serial,
                            const quor_impl::FactRecords& facts,
                            const quor_impl::FactRecords& extra) {
  const auto recording = std::find_if(facts.begin(), facts.end(), [](const auto& record) {
    return record.first == rf::kMetaRecording;
  });
  if (recording == facts.end()) {
    throw std::invalid_argument(std::string("the facts hold no ") + rf::kMetaRecording + " record");
  }
  writer_.Start(rf::kProfile, library);
  writer_.Metadata(recording->first, recording->second);
  for (const auto& [name, entries] : facts) {
    if (name != rf::kMetaRecording) writer_.Metadata(name, entries);
  }
  for (std::size_t k = 0; k < rf::kStreams.size(); ++k) {
    raw_channels_[k] = writer_.Channel(0, rf::Topic(serial, rf::kStreams[k]), rf::kMessageEncoding,
                                       {{rf::kStreamKey, rf::kStreams[k]}});
  }
  for (const auto& [name, entries] : extra) writer_.Metadata(name, entries);
}

void RecordingWriter::Add(const CaptureBatch& batch) {
  std::array<mcapfile::StreamSamples, 2> streams;
  std::size_t n = 0;
  const std::array<const StreamRows*, 2> rows = {&batch.basic, &batch.extra};
  for (std::size_t k = 0; k < rows.size(); ++k) {
    if (!rows[k]->raw.seq.empty()) streams[n++] = columns_[k].Of(raw_channels_[k], rows[k]->raw);
  }
  // Merged by the monotonic receive time, which never steps back as the wall clock may: one
  // stream's order is never changed.
  if (n > 0) writer_.Merged({streams.data(), n});
}

std::uint16_t RecordingWriter::RawChannel(std::string_view stream) const {
  return raw_channels_[StreamIndex(stream)];
}

std::uint16_t RecordingWriter::AddChannel(const ChannelSpec& spec) {
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
  writer_.Metadata(rf::kMetaEnd, end);
  writer_.Finish();
}

bool RecordingWriter::Salvage(const Entries& end) { return writer_.Salvage(rf::kMetaEnd, end); }

}  // namespace korvel::quor
