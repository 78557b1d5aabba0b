#include "mcapfile/writer.hpp"

#include <utility>
#include <vector>

#include "mcapfile/c_abi.hpp"

namespace korvel::mcapfile {

WriteError::WriteError(const std::string& what, int os_error)
    : std::runtime_error(what), os_error_(os_error) {}
WriteError::~WriteError() = default;

struct Writer::Handle {
  detail::Handle<::kqw_writer, &::kqw_free> w;
  std::int32_t os_error = 0;

  void Check(std::int32_t rc) const {
    if (rc != 0) throw WriteError(detail::last_error(), os_error);
  }
};

namespace {

::kqw_text Text(std::string_view s) { return {s.data(), s.size()}; }

struct Texts {
  std::vector<::kqw_text> keys, values;
  explicit Texts(const Writer::Entries& m) {
    keys.reserve(m.size());
    values.reserve(m.size());
    for (const auto& [k, v] : m) {
      keys.push_back(Text(k));
      values.push_back(Text(v));
    }
  }
};

}  // namespace

Writer::Writer(const std::string& path, Compression compression, std::uint64_t chunk_bytes)
    : h_(std::make_unique<Handle>()) {
  ::kqw_writer* w = ::kqw_open(path.data(), path.size(), static_cast<std::uint32_t>(compression),
                               chunk_bytes, &h_->os_error);
  if (w == nullptr) throw WriteError(detail::last_error(), h_->os_error);
  h_->w = decltype(h_->w)(w);
}
Writer::Writer(Writer&&) noexcept = default;
Writer& Writer::operator=(Writer&&) noexcept = default;
Writer::~Writer() = default;

void Writer::Start(std::string_view profile, std::string_view library) {
  h_->Check(::kqw_start(h_->w.get(), Text(profile), Text(library), &h_->os_error));
}

void Writer::Metadata(std::string_view name, const Entries& entries) {
  const Texts t(entries);
  h_->Check(::kqw_metadata(h_->w.get(), Text(name), t.keys.size(), t.keys.data(), t.values.data(),
                           &h_->os_error));
}

std::uint16_t Writer::Schema(std::string_view name, std::string_view encoding,
                             std::span<const std::uint8_t> data) {
  std::uint16_t id = 0;
  h_->Check(::kqw_schema(h_->w.get(), Text(name), Text(encoding), data.data(), data.size(), &id,
                         &h_->os_error));
  return id;
}

std::uint16_t Writer::Channel(std::uint16_t schema, std::string_view topic,
                              std::string_view message_encoding, const Entries& metadata) {
  const Texts t(metadata);
  std::uint16_t id = 0;
  h_->Check(::kqw_channel(h_->w.get(), schema, Text(topic), Text(message_encoding), t.keys.size(),
                          t.keys.data(), t.values.data(), &id, &h_->os_error));
  return id;
}

void Writer::Message(std::uint16_t channel, std::uint32_t sequence, std::uint64_t log_time,
                     std::uint64_t publish_time, std::span<const std::uint8_t> data) {
  h_->Check(::kqw_message(h_->w.get(), channel, sequence, log_time, publish_time, data.data(),
                          data.size(), &h_->os_error));
}

void Writer::Merged(std::span<const StreamSamples> streams) {
  std::vector<::kqw_stream> c;
  c.reserve(streams.size());
  for (const StreamSamples& s : streams) {
    const std::size_t n = s.sequence.size();
    if (s.mono_ns.size() != n || s.log_ns.size() != n || s.publish_ns.size() != n ||
        (n > 0 && s.offsets.size() != n + 1)) {
      throw std::invalid_argument("a stream's columns differ in length");
    }
    c.push_back({s.channel, n, s.mono_ns.data(), s.log_ns.data(), s.publish_ns.data(),
                 s.sequence.data(), s.offsets.data(), s.data});
  }
  h_->Check(::kqw_merged(h_->w.get(), c.size(), c.data(), &h_->os_error));
}

void Writer::Flush() { h_->Check(::kqw_flush(h_->w.get(), &h_->os_error)); }
void Writer::Finish() { h_->Check(::kqw_finish(h_->w.get(), &h_->os_error)); }

bool Writer::Salvage(std::string_view name, const Entries& end) {
  const Texts t(end);
  return ::kqw_salvage(h_->w.get(), Text(name), t.keys.size(), t.keys.data(), t.values.data()) == 1;
}

std::uint64_t Writer::size() const { return ::kqw_size(h_->w.get()); }

}  // namespace korvel::mcapfile
