#include "recording/recording_reader.hpp"

#include <algorithm>
#include <filesystem>
#include <optional>
#include <utility>
#include <vector>

#include "capture/recording.hpp"
#include "capture/robot_time.hpp"
#include "client/joint_group.hpp"
#include "mcapfile/reader.hpp"
#include "recording/file_format.hpp"
#include "recording/reader_access.hpp"
#include "recording/recording_facts.hpp"

namespace korvel::quor {

namespace rf = recording_format;
using quor_impl::ClientLayout;
using quor_impl::RecordingDecoder;

namespace {

// Messages asked of the file at once while a block fills.
constexpr std::size_t kReadStep = 1024;

// One stream's samples read but not yet decoded.
struct Pending {
  std::vector<std::uint8_t> data;
  std::vector<std::uint64_t> offsets{0};
  std::vector<std::uint64_t> seq;
  std::vector<std::int64_t> log_time;
  std::vector<std::uint64_t> publish;
  std::vector<std::int64_t> basic_before;  // extra only: the latest basic seq read before it
  std::optional<std::uint64_t> last_seq;
  bool yielded = false;
  bool flushed = false;  // in the latest block
  // The latest block's sequence numbers and receive times, undecodable samples included.
  std::vector<std::uint64_t> taken_seq;
  std::vector<std::int64_t> taken_log_time;

  std::size_t size() const { return seq.size(); }

  void Add(std::uint32_t sequence, std::uint64_t log, std::uint64_t pub,
           std::span<const std::uint8_t> payload, std::int64_t before) {
    // The file keeps the sequence number modulo 2^32; it only rises within a stream.
    std::uint64_t s = sequence;
    if (last_seq) s = *last_seq + ((s - *last_seq) & 0xFFFFFFFFu);
    last_seq = s;
    seq.push_back(s);
    data.insert(data.end(), payload.begin(), payload.end());
    offsets.push_back(data.size());
    log_time.push_back(static_cast<std::int64_t>(log));
    publish.push_back(pub);
    basic_before.push_back(before);
  }

  void Clear() {
    taken_seq = std::move(seq);
    taken_log_time = std::move(log_time);
    seq.clear();
    log_time.clear();
    data.clear();
    offsets.assign(1, 0);
    publish.clear();
    basic_before.clear();
  }

  quor_impl::RecordedStream View(std::span<const std::int32_t> robot_time = {}) const {
    return {data, offsets, seq, log_time, {}, robot_time};
  }
};

}  // namespace

std::string RecordingEnd::Describe(const std::string& path) const {
  std::string text;
  if (complete) {
    text = path + ": complete (" + std::to_string(size) + " bytes)";
  } else if (read_error) {
    text = path + ": a read error (" + problem + "); read every complete sample up to byte " +
           std::to_string(good_bytes) + " of " + std::to_string(size);
  } else {
    text = path + ": cut short (" + problem + "); read every complete sample up to byte " +
           std::to_string(good_bytes) + " of " + std::to_string(size);
  }
  if (!skipped.empty()) {
    text += "; skipped " + std::to_string(skipped.size()) +
            " damaged record(s), the first at byte " + std::to_string(skipped.front().first) +
            " (" + skipped.front().second + ")";
  }
  return text;
}

struct RecordingReader::Impl final : mcapfile::Visitor {
  std::string path;
  RecordingReaderOptions options;
  std::optional<mcapfile::Reader> file;
  ClientLayout layout;
  RecordingMetadata metadata;
  std::map<std::uint16_t, int> channels;  // channel id -> 0 basic, 1 extra
  Pending streams[2];
  std::int64_t last_basic = -1;
  std::uint64_t count = 0;
  bool more = true;
  // The robot timestamps of the decoded basic samples of the current block, and the latest
  // one before them: an extra sample takes the latest decoded basic stamp before it.
  std::optional<std::pair<std::int32_t, std::int32_t>> carry;
  // What the file began with, for the checks at opening.
  std::optional<std::pair<std::string, std::string>> header;
  std::vector<std::string> metadata_order;
  std::size_t records = 0;
  // Raw mode: every sample of both streams in file order, undecoded.
  bool raw = false;
  quor_impl::RawRecorded raw_samples;

  Impl(std::string p, RecordingReaderOptions o) : path(std::move(p)), options(o) {
    options.block_rows = std::max<std::size_t>(options.block_rows, 1);
  }

  [[noreturn]] void Fail(const std::string& what) const {
    throw RecordingError(path + ": " + what);
  }

  void Header(std::string_view profile, std::string_view library) override {
    header.emplace(profile, library);
  }
  void Metadata(std::string_view name, mcapfile::TextMap values) override {
    metadata_order.emplace_back(name);
    metadata[std::string(name)] = std::move(values);
  }
  void Channel(std::uint16_t id, std::string_view, std::string_view encoding,
               mcapfile::TextMap meta) override {
    const auto s = meta.find("stream");
    if (s == meta.end() || encoding != rf::kMessageEncoding) return;
    if (s->second == rf::kStreams[0]) channels[id] = 0;
    if (s->second == rf::kStreams[1]) channels[id] = 1;
  }
  void Message(std::uint16_t channel, std::uint32_t sequence, std::uint64_t log_time,
               std::uint64_t publish_time, std::span<const std::uint8_t> data) override {
    const auto c = channels.find(channel);
    if (c == channels.end()) return;
    if (log_time < options.from_log_ns || log_time > options.to_log_ns) return;
    if (raw) {
      quor_impl::RawRecorded& r = raw_samples;
      r.stream.push_back(static_cast<std::uint8_t>(c->second));
      r.sequence.push_back(sequence);
      r.log_time.push_back(static_cast<std::int64_t>(log_time));
      r.publish_time.push_back(static_cast<std::int64_t>(publish_time));
      r.data.insert(r.data.end(), data.begin(), data.end());
      r.offsets.push_back(r.data.size());
      ++count;
      return;
    }
    const bool basic = c->second == 0;
    // The extra rows' robot time comes from the basic samples before them.
    if (!basic && !options.extra) return;
    if (basic && !options.basic && !options.extra) return;
    Pending& p = streams[c->second];
    p.Add(sequence, log_time, publish_time, data, basic ? -1 : last_basic);
    if (basic) last_basic = static_cast<std::int64_t>(*p.last_seq);
    ++count;
  }

  // Reads on (at least `min_messages` messages, one record); false at the end of the file.
  // A file that cannot be read on is an error, not an end: what it would have held is not
  // known to be missing.
  bool ReadMore(std::size_t min_messages) {
    bool on = false;
    try {
      on = file->Read(*this, min_messages);
    } catch (const RecordingError&) {
      throw;
    } catch (const std::runtime_error& e) {  // the reader's own failure names the file
      throw RecordingError(e.what());
    }
    if (!on) {
      const RecordingEnd end = file->end<RecordingEnd>();
      if (end.read_error) Fail(end.problem);
    }
    return on;
  }

  // One record at a time until it is a metadata record no longer.
  bool ReadRecord() {
    const std::size_t before = metadata_order.size();
    more = ReadMore(0);
    ++records;
    return metadata_order.size() > before;
  }

  void Open() {
    const std::string expected = std::string("; expected ") + rf::kExpected;
    try {
      file.emplace(path);
      if (options.from_log_ns > 0 || options.to_log_ns < UINT64_MAX) {
        file->Window(options.from_log_ns, options.to_log_ns);
      }
    } catch (const std::runtime_error& e) {
      Fail(std::string(e.what()) + expected);
    }
    // The channels as the summary lists them, so that the samples after a damaged chunk
    // that held their channel records are still known (those records, when read, agree).
    std::optional<std::vector<mcapfile::SummaryChannel>> summary;
    try {
      summary = mcapfile::SummaryChannels(path);
    } catch (const std::runtime_error& e) {  // the reader's own failure names the file
      throw RecordingError(e.what());
    }
    for (const mcapfile::SummaryChannel& c :
         summary.value_or(std::vector<mcapfile::SummaryChannel>{})) {
      Channel(c.id, c.topic, c.encoding, c.metadata);
    }
    ReadRecord();
    if (!header) {
      Fail(std::string(more ? "an MCAP file without its header"
                            : "the file ends before its MCAP header") +
           expected);
    }
    if (header->first != rf::kProfile) {
      Fail("an MCAP file of profile '" + header->first + "' (written by '" + header->second +
           "'), not of profile '" + rf::kProfile + "'" + expected);
    }
    const bool facts = more && ReadRecord() && metadata_order.front() == rf::kMetaRecording;
    if (!facts) {
      Fail(std::string("an MCAP file of profile '") + rf::kProfile + "' without its '" +
           rf::kMetaRecording + "' metadata first" + expected);
    }
    const auto& info = metadata[rf::kMetaRecording];
    const auto value = [&](const char* key) {
      const auto it = info.find(key);
      return it == info.end() ? std::string("None") : it->second;
    };
    if (value("format_version") != rf::kFormatVersion) {
      Fail("a recording of format version '" + value("format_version") +
           "'; this tool reads format version " + rf::kFormatVersion);
    }
    if (value("protocol_version") != rf::kProtocolVersion) {
      Fail("a recording of robot protocol version '" + value("protocol_version") +
           "'; this tool knows protocol version " + rf::kProtocolVersion);
    }
    while (more && ReadRecord()) {
    }
    if (raw) return;
    const auto meta = metadata.find(rf::kMetaLayout);
    if (meta == metadata.end()) {
      Fail(std::string("the recording holds no joint-group layout (metadata '") + rf::kMetaLayout +
           "')" + expected);
    }
    try {
      layout = quor_impl::LayoutFromRecord(meta->second, value("serial"));
    } catch (const std::exception& e) {
      Fail(std::string("its joint-group layout (metadata '") + rf::kMetaLayout +
           "') is not usable: " + e.what() + expected);
    }
  }

  template <class Batch, class DecodeFn>
  Batch Decode(const quor_impl::RecordedStream& r, DecodeFn decode) {
    try {
      return decode(r, layout);
    } catch (const std::invalid_argument& e) {
      Fail(e.what());
    } catch (const std::length_error& e) {
      Fail(e.what());
    }
  }

  // Basic first, so that every pending extra sample finds the stamps before it.
  bool Flush(RecordedBlock& block, bool final) {
    Pending& basic = streams[0];
    Pending& extra = streams[1];
    bool any = false;
    std::vector<std::uint64_t> stamp_seq;
    std::vector<std::int32_t> stamps;
    block.basic = {};
    block.extra = {};
    for (Pending& p : streams) {
      p.flushed = false;
      p.taken_seq.clear();
      p.taken_log_time.clear();
    }
    const bool want_basic = options.basic || options.extra;
    if (want_basic && (basic.size() != 0 || (final && !basic.yielded))) {
      BasicBatch batch = Decode<BasicBatch>(basic.View(), RecordingDecoder<Stream::Basic>::Decode);
      stamp_seq = batch.seq;
      stamps = batch.robot_time;
      basic.Clear();
      basic.yielded = true;
      basic.flushed = options.basic;
      if (options.basic) {
        block.basic = std::move(batch);
        any = true;
      }
    }
    if (options.extra && (extra.size() != 0 || (final && !extra.yielded))) {
      std::vector<std::int32_t> robot_time(2 * extra.size());
      for (std::size_t i = 0; i < extra.size(); ++i) {
        const auto at = std::upper_bound(stamp_seq.begin(), stamp_seq.end(),
                                         static_cast<std::uint64_t>(extra.basic_before[i])) -
                        stamp_seq.begin();
        std::pair<std::int32_t, std::int32_t> t;
        if (extra.basic_before[i] >= 0 && at > 0) {
          t = {stamps[2 * (at - 1)], stamps[2 * (at - 1) + 1]};
        } else if (carry) {
          t = *carry;
        } else {
          // Before the file's first basic sample: the stamp the recorder took for it.
          t = RobotTimeOfFileNs(extra.publish[i]);
        }
        robot_time[2 * i] = t.first;
        robot_time[2 * i + 1] = t.second;
      }
      block.extra =
          Decode<ExtraBatch>(extra.View(robot_time), RecordingDecoder<Stream::Extra>::Decode);
      extra.Clear();
      extra.yielded = extra.flushed = true;
      any = true;
    }
    if (!stamp_seq.empty()) carry = std::pair{stamps[stamps.size() - 2], stamps.back()};
    return any;
  }

  bool Next(RecordedBlock& block) {
    const std::size_t rows = options.block_rows;
    for (;;) {
      while (more && streams[0].size() < rows && streams[1].size() < rows) {
        more = ReadMore(std::min(kReadStep, rows));
      }
      if (!more) break;
      // A block of only samples not asked for yields nothing: read on.
      if (Flush(block, false)) return true;
    }
    if (streams[0].size() == 0 && streams[1].size() == 0 && streams[0].yielded &&
        (streams[1].yielded || !options.extra)) {
      return false;
    }
    if (!Flush(block, true)) {
      streams[0].yielded = streams[1].yielded = true;
      return false;
    }
    return true;
  }
};

RecordingReader::RecordingReader(const std::string& path, RecordingReaderOptions options)
    : impl_(std::make_unique<Impl>(path, options)) {
  impl_->Open();
}

RecordingReader::RecordingReader(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
RecordingReader::RecordingReader(RecordingReader&&) noexcept = default;
RecordingReader& RecordingReader::operator=(RecordingReader&&) noexcept = default;
RecordingReader::~RecordingReader() = default;

const std::string& RecordingReader::path() const { return impl_->path; }
const RecordingMetadata& RecordingReader::metadata() const { return impl_->metadata; }
std::string RecordingReader::serial() const { return impl_->layout.serial; }
bool RecordingReader::Next(RecordedBlock& block) { return impl_->Next(block); }
std::uint64_t RecordingReader::samples_read() const { return impl_->count; }

RecordingEnd RecordingReader::end() const { return impl_->file->end<RecordingEnd>(); }

}  // namespace korvel::quor

namespace korvel::quor_impl {

quor::RecordingReader RecordingReaderAccess::OpenRaw(const std::string& path,
                                                     std::size_t block_rows) {
  auto impl =
      std::make_unique<quor::RecordingReader::Impl>(path, quor::RecordingReaderOptions{block_rows});
  impl->raw = true;
  impl->Open();
  return quor::RecordingReader(std::move(impl));
}

bool RecordingReaderAccess::NextRaw(quor::RecordingReader& reader, RawRecorded& out) {
  auto& impl = *reader.impl_;
  while (impl.more && impl.raw_samples.stream.size() < impl.options.block_rows) {
    impl.more = impl.ReadMore(std::min(quor::kReadStep, impl.options.block_rows));
  }
  if (impl.raw_samples.stream.empty()) return false;
  out = std::exchange(impl.raw_samples, RawRecorded{});
  return true;
}

std::optional<std::array<std::uint64_t, 2>> RecordingReaderAccess::SummaryCounts(
    const std::string& path) {
  // A sample's record takes 31 bytes before its payload; compressed it still takes more than
  // this. A larger count comes from a damaged summary (or samples that compress beyond it):
  // a table sized by it would take memory the file cannot fill.
  constexpr std::uint64_t kMinSampleBytes = 16;
  std::error_code error;
  const std::uint64_t size = std::filesystem::file_size(path, error);
  if (error) return std::nullopt;
  const auto channels = mcapfile::SummaryChannels(path);
  if (!channels) return std::nullopt;
  namespace rf = quor::recording_format;
  std::array<std::uint64_t, 2> counts{};
  for (const mcapfile::SummaryChannel& c : *channels) {
    const auto s = c.metadata.find(rf::kStreamKey);
    if (s == c.metadata.end() || c.encoding != rf::kMessageEncoding) continue;
    for (std::size_t i = 0; i < rf::kStreams.size(); ++i) {
      if (s->second == rf::kStreams[i]) counts[i] += c.messages;
    }
  }
  for (std::uint64_t& n : counts) n = std::min(n, size / kMinSampleBytes);
  return counts;
}

const ClientLayout& RecordingReaderAccess::Layout(const quor::RecordingReader& reader) {
  return reader.impl_->layout;
}

RecordedArrays RecordingReaderAccess::Arrays(const quor::RecordingReader& reader,
                                             quor::Stream stream) {
  const auto& p = reader.impl_->streams[stream == quor::Stream::Basic ? 0 : 1];
  return {p.flushed, p.taken_seq, p.taken_log_time};
}

}  // namespace korvel::quor_impl
