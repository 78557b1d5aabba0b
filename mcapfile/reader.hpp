#pragma once
// An MCAP file read front to back through the MCAP crate's reader: records handed to a
// visitor as they come, chunks already decompressed, memory bounded by one chunk. A file cut
// short or a damaged chunk ends (or skips) quietly; end() then says where and why.

#include <cstddef>
#include <cstdint>
#include <exception>
#include <map>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "mcapfile/c_abi.hpp"

namespace korvel::mcapfile {

using TextMap = std::map<std::string, std::string>;

class Visitor {
 public:
  virtual ~Visitor() = default;
  virtual void Header(std::string_view profile, std::string_view library) = 0;
  virtual void Metadata(std::string_view name, TextMap values) = 0;
  virtual void Channel(std::uint16_t id, std::string_view topic, std::string_view encoding,
                       TextMap metadata) = 0;
  virtual void Message(std::uint16_t channel, std::uint32_t sequence, std::uint64_t log_time,
                       std::uint64_t publish_time, std::span<const std::uint8_t> data) = 0;
};

class Reader {
 public:
  // Throws std::runtime_error with the reason (no such file, not an MCAP file).
  explicit Reader(const std::string& path) : handle_(::kqm_reader_open(path.data(), path.size())) {
    if (!handle_) throw std::runtime_error(detail::last_error());
  }

  // Hands records to `visitor` until at least `min_messages` messages (and at least one
  // record) went out. False once the file has ended.
  // What the visitor throws comes out of here, after the reader stopped; the reader is then
  // done.
  bool Read(Visitor& visitor, std::size_t min_messages) {
    Call call{&visitor, nullptr};
    const ::kqm_visitor v{&call, &OnHeader, &OnMetadata, &OnChannel, &OnMessage};
    const std::int32_t more = ::kqm_reader_read(handle_.get(), min_messages, &v);
    if (call.failure) std::rethrow_exception(call.failure);
    if (more < 0) throw std::runtime_error(detail::last_error());
    return more != 0;
  }

  // From now on only the chunks whose messages' log times overlap [lo, hi] (ns), found
  // through the file's chunk index, with the header, the channels and every metadata record:
  // true. False when the file has no usable index (one cut short) or reading has begun: every
  // record is then read, front to back, and the caller picks what it wants.
  bool Window(std::uint64_t lo, std::uint64_t hi) {
    const std::int32_t indexed = ::kqm_reader_window(handle_.get(), lo, hi);
    if (indexed < 0) throw std::runtime_error(detail::last_error());
    return indexed == 1;
  }

  // How the file ended, as a record of the fields complete, size, good_bytes, problem and
  // skipped (the recording reader's public one, which this layer cannot name).
  template <class End>
  End end() const {
    ::kqm_end e{};
    ::kqm_reader_end(handle_.get(), &e);
    End end;
    end.complete = e.complete;
    end.read_error = e.read_error;
    end.size = e.size;
    end.good_bytes = e.good_bytes;
    end.problem = std::string(Text(e.problem));
    std::uint64_t at = 0;
    ::kqm_str why{};
    for (std::size_t i = 0; ::kqm_reader_skipped(handle_.get(), i, &at, &why); ++i) {
      end.skipped.emplace_back(at, Text(why));
    }
    return end;
  }

 private:
  static std::string_view Text(::kqm_str s) { return {s.data, s.len}; }
  static TextMap Map(std::size_t n, const ::kqm_str* keys, const ::kqm_str* values) {
    TextMap m;
    for (std::size_t i = 0; i < n; ++i) m.emplace(Text(keys[i]), Text(values[i]));
    return m;
  }
  // The callbacks run inside Rust frames, which no exception may cross: one thrown by the
  // visitor is kept here and stops the reading, and Read() throws it again.
  struct Call {
    Visitor* visitor;
    std::exception_ptr failure;
  };
  template <class F>
  static std::int32_t Guarded(void* context, F&& f) noexcept {
    Call& call = *static_cast<Call*>(context);
    try {
      f(*call.visitor);
      return 0;
    } catch (...) {
      call.failure = std::current_exception();
      return 1;
    }
  }
  static std::int32_t OnHeader(void* c, ::kqm_str profile, ::kqm_str library) noexcept {
    return Guarded(c, [&](Visitor& v) { v.Header(Text(profile), Text(library)); });
  }
  static std::int32_t OnMetadata(void* c, ::kqm_str name, std::size_t n, const ::kqm_str* k,
                                 const ::kqm_str* values) noexcept {
    return Guarded(c, [&](Visitor& v) { v.Metadata(Text(name), Map(n, k, values)); });
  }
  static std::int32_t OnChannel(void* c, std::uint16_t id, ::kqm_str topic, ::kqm_str encoding,
                                std::size_t n, const ::kqm_str* k,
                                const ::kqm_str* values) noexcept {
    return Guarded(
        c, [&](Visitor& v) { v.Channel(id, Text(topic), Text(encoding), Map(n, k, values)); });
  }
  static std::int32_t OnMessage(void* c, std::uint16_t channel, std::uint32_t sequence,
                                std::uint64_t log_time, std::uint64_t publish_time,
                                const std::uint8_t* data, std::size_t len) noexcept {
    return Guarded(
        c, [&](Visitor& v) { v.Message(channel, sequence, log_time, publish_time, {data, len}); });
  }

  detail::Handle<::kqm_reader, &::kqm_reader_free> handle_;
};

// A channel of a file's summary, with the number of messages its statistics count.
struct SummaryChannel {
  std::uint16_t id = 0;
  std::string topic;
  std::string encoding;
  TextMap metadata;
  std::uint64_t messages = 0;
};

// The channels of the file's summary, read from its end without reading its data; nothing
// when the file has no summary that holds (none, cut short, its CRC or a record wrong).
inline std::optional<std::vector<SummaryChannel>> SummaryChannels(const std::string& path) {
  struct Found {
    std::vector<SummaryChannel> channels;
    std::exception_ptr failure;
  } found;
  const auto entry = [](void* context, std::uint16_t id, ::kqm_str topic, ::kqm_str encoding,
                        std::size_t n, const ::kqm_str* k, const ::kqm_str* v,
                        std::uint64_t messages) noexcept -> std::int32_t {
    Found& f = *static_cast<Found*>(context);
    try {
      TextMap meta;
      for (std::size_t i = 0; i < n; ++i) {
        meta.emplace(std::string_view(k[i].data, k[i].len), std::string_view(v[i].data, v[i].len));
      }
      f.channels.push_back({id, std::string(topic.data, topic.len),
                            std::string(encoding.data, encoding.len), std::move(meta), messages});
      return 0;
    } catch (...) {
      f.failure = std::current_exception();
      return 1;
    }
  };
  const std::int32_t got = ::kqm_summary_channels(path.data(), path.size(), &found, entry);
  if (found.failure) std::rethrow_exception(found.failure);
  if (got < 0) throw std::runtime_error(detail::last_error());
  if (got == 0) return std::nullopt;
  return std::move(found.channels);
}

}  // namespace korvel::mcapfile
