#include "recording/recorder.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <exception>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>
#include <utility>
#include <variant>
#include <vector>

#include "capture/capture.hpp"
#include "client/client_access.hpp"
#include "client/version.hpp"
#include "mcapfile/writer.hpp"
#include "recording/file_format.hpp"

namespace korvel::quor {

namespace {

namespace rf = recording_format;
using Entries = mcapfile::Writer::Entries;
using Clock = std::chrono::steady_clock;

constexpr std::int64_t kNs = 1'000'000'000;

// ---- texts as the Python tools write them (json.dumps, repr) -------------------------------

// Python's repr of a float: the shortest digits that read back the same; fixed notation for
// decimal exponents from -4 to 16, scientific beyond; always a point or an exponent.
std::string PyRepr(double x) {
  if (x != x) return "nan";
  if (x == std::numeric_limits<double>::infinity()) return "inf";
  if (x == -std::numeric_limits<double>::infinity()) return "-inf";
  char buf[64];
  const auto r = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::scientific);
  std::string s(buf, r.ptr);
  std::string out;
  if (s[0] == '-') {
    out = "-";
    s.erase(0, 1);
  }
  const std::size_t e = s.find('e');
  std::string digits = s.substr(0, e);
  digits.erase(std::remove(digits.begin(), digits.end(), '.'), digits.end());
  const int exponent = std::stoi(s.substr(e + 1));
  const int decpt = exponent + 1;
  const int n = static_cast<int>(digits.size());
  if (decpt > -4 && decpt <= 16) {
    if (decpt <= 0) {
      out += "0." + std::string(static_cast<std::size_t>(-decpt), '0') + digits;
    } else if (decpt >= n) {
      out += digits + std::string(static_cast<std::size_t>(decpt - n), '0') + ".0";
    } else {
      out += digits.substr(0, static_cast<std::size_t>(decpt)) + "." +
             digits.substr(static_cast<std::size_t>(decpt));
    }
  } else {
    out += digits.substr(0, 1);
    if (n > 1) out += "." + digits.substr(1);
    char exp[8];
    std::snprintf(exp, sizeof exp, "e%c%02d", exponent < 0 ? '-' : '+', std::abs(exponent));
    out += exp;
  }
  return out;
}

// json.dumps of a float.
std::string JsonNumber(double x) {
  if (x != x) return "NaN";
  if (x == std::numeric_limits<double>::infinity()) return "Infinity";
  if (x == -std::numeric_limits<double>::infinity()) return "-Infinity";
  return PyRepr(x);
}

// Where `s` stops being UTF-8, with Python's words for why; nullopt when it is UTF-8.
std::optional<std::pair<std::size_t, const char*>> Utf8Fault(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size()) {
    const auto c = static_cast<unsigned char>(s[i]);
    std::size_t len = 0;
    unsigned char lo = 0x80, hi = 0xBF;
    if (c < 0x80) {
      ++i;
      continue;
    } else if (c >= 0xC2 && c <= 0xDF) {
      len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3;
      if (c == 0xE0) lo = 0xA0;
      if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4;
      if (c == 0xF0) lo = 0x90;
      if (c == 0xF4) hi = 0x8F;
    } else {
      return std::make_pair(i, "invalid start byte");
    }
    for (std::size_t k = 1; k < len; ++k) {
      if (i + k >= s.size()) return std::make_pair(i, "unexpected end of data");
      const auto d = static_cast<unsigned char>(s[i + k]);
      if (d < (k == 1 ? lo : 0x80) || d > (k == 1 ? hi : 0xBF)) {
        return std::make_pair(i, "invalid continuation byte");
      }
    }
    i += len;
  }
  return std::nullopt;
}

// A text the robot sent, which must be UTF-8 to be recorded: else the error Python's
// decoding gives, which the recording then holds in place of the record.
const std::string& Checked(const std::string& s) {
  if (const auto fault = Utf8Fault(s)) {
    char text[160];
    std::snprintf(text, sizeof text,
                  "'utf-8' codec can't decode byte 0x%02x in position %zu: %s",
                  static_cast<unsigned char>(s[fault->first]), fault->first, fault->second);
    throw std::runtime_error(text);
  }
  return s;
}

// json.dumps of a text (ASCII only, as its default writes it).
std::string JsonString(const std::string& utf8) {
  std::string out = "\"";
  const std::string& s = Checked(utf8);
  auto put_u = [&out](unsigned v) {
    char b[8];
    std::snprintf(b, sizeof b, "\\u%04x", v);
    out += b;
  };
  for (std::size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i]);
    std::uint32_t cp = c;
    std::size_t len = 1;
    if (c >= 0xF0) {
      cp = c & 0x07, len = 4;
    } else if (c >= 0xE0) {
      cp = c & 0x0F, len = 3;
    } else if (c >= 0xC0) {
      cp = c & 0x1F, len = 2;
    }
    for (std::size_t k = 1; k < len; ++k) cp = (cp << 6) | (s[i + k] & 0x3F);
    i += len;
    switch (cp) {
      case '"': out += "\\\""; continue;
      case '\\': out += "\\\\"; continue;
      case '\n': out += "\\n"; continue;
      case '\r': out += "\\r"; continue;
      case '\t': out += "\\t"; continue;
      case '\b': out += "\\b"; continue;
      case '\f': out += "\\f"; continue;
      default: break;
    }
    if (cp >= 0x20 && cp <= 0x7E) {
      out += static_cast<char>(cp);
    } else if (cp > 0xFFFF) {
      const std::uint32_t v = cp - 0x10000;
      put_u(0xD800 | (v >> 10));
      put_u(0xDC00 | (v & 0x3FF));
    } else {
      put_u(cp);
    }
  }
  return out + "\"";
}

// json.dumps of an object whose entries are already JSON: {"k": v, ...}.
std::string JsonObject(const std::vector<std::pair<std::string, std::string>>& entries) {
  std::string out = "{";
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (i) out += ", ";
    out += JsonString(entries[i].first) + ": " + entries[i].second;
  }
  return out + "}";
}

std::string GroupKey(JointGroup g) { return std::to_string(static_cast<int>(g)); }

template <class Map, class F>
std::string KeyedByGroup(const Map& m, F value) {
  std::vector<std::pair<std::string, std::string>> entries;
  for (const auto& [g, v] : m) entries.emplace_back(GroupKey(g), value(v));
  return JsonObject(entries);
}

// ---- the metadata records -------------------------------------------------------------------

Entries LayoutRecord(const quor_impl::ClientLayout& l) {
  Entries out{
      {"group_names", KeyedByGroup(l.group_names, [](const std::string& n) { return JsonString(n); })},
      {"start_ids", KeyedByGroup(l.start_ids, [](auto v) { return std::to_string(v); })},
      {"dofs", KeyedByGroup(l.dofs, [](auto v) { return std::to_string(v); })},
      {"joint_count", std::to_string(l.joint_count)}};
  if (l.extra_joint_count) out["extra_joint_count"] = std::to_string(*l.extra_joint_count);
  return out;
}

Entries PlanInfoRecord(const PlanInfo& p) {
  return {{"pt_name", Checked(p.pt_name)},
          {"node_name", Checked(p.node_name)},
          {"node_path", Checked(p.node_path)},
          {"node_path_time_period", Checked(p.node_path_time_period)},
          {"node_path_number", Checked(p.node_path_number)},
          {"assigned_plan_name", Checked(p.assigned_plan_name)},
          {"velocity_scale", PyRepr(p.velocity_scale)},
          {"waiting_for_step", p.waiting_for_step ? "1" : "0"}};
}

Entries ScoreRecord(const std::map<JointGroup, std::pair<double, double>>& scores) {
  return {{"scores", KeyedByGroup(scores, [](const std::pair<double, double>& s) {
             return "[" + JsonNumber(s.first) + ", " + JsonNumber(s.second) + "]";
           })}};
}

std::string JsonValue(const PrimitiveStates::Value& v) {
  if (const int* i = std::get_if<int>(&v)) return std::to_string(*i);
  if (const double* d = std::get_if<double>(&v)) return JsonNumber(*d);
  return JsonString(std::get<std::string>(v));
}

Entries PrimitivesRecord(const std::map<JointGroup, PrimitiveStates>& states) {
  return {{"states", KeyedByGroup(states, [](const PrimitiveStates& p) {
             std::vector<std::pair<std::string, std::string>> values;
             for (const auto& [name, value] : p.names_and_values) {
               values.emplace_back(name, JsonValue(value));
             }
             return JsonObject({{"pt_name", JsonString(p.pt_name)},
                                {"values", JsonObject(values)}});
           })}};
}

// A remote call's record, or its error when the robot refused it (or sent text that is not
// UTF-8): the facts go on either way.
template <class Call, class Convert>
Entries FactOrError(Call call, Convert convert) {
  try {
    return convert(call());
  } catch (const std::exception& e) {
    return {{rf::kErrorKey, e.what()}};
  }
}

std::string Fixed3(double seconds) {
  char b[48];
  std::snprintf(b, sizeof b, "%.3f", seconds);
  return b;
}

std::int64_t WallNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

mcapfile::Compression CompressionOf(RecordingCompression c) {
  switch (c) {
    case RecordingCompression::Lz4: return mcapfile::Compression::kLz4;
    case RecordingCompression::None: return mcapfile::Compression::kNone;
    case RecordingCompression::Zstd: break;
  }
  return mcapfile::Compression::kZstd;
}

// One stream's raw samples as the writer takes them.
struct RawColumns {
  std::vector<std::uint64_t> log, publish;
  std::vector<std::uint32_t> seq;

  mcapfile::StreamSamples Of(std::uint16_t channel, const RawSamples& raw) {
    const std::size_t n = raw.seq.size();
    log.resize(n);
    publish.resize(n);
    seq.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
      log[i] = static_cast<std::uint64_t>(raw.receive_time_ns[i]);
      const std::int64_t p = std::int64_t{raw.robot_time[2 * i]} * kNs + raw.robot_time[2 * i + 1];
      publish[i] = static_cast<std::uint64_t>(std::max<std::int64_t>(p, 0));
      seq[i] = static_cast<std::uint32_t>(raw.seq[i]);
    }
    return {channel, raw.receive_mono_ns, log, publish, seq, raw.offsets, raw.data.data()};
  }
};

}  // namespace

class Recorder::Impl {
 public:
  Impl(const Client& client, const std::string& path, RecorderOptions options)
      : options_(options), writer_(Open(path, options.compression)) {
    summary_.path = path;
    capture_.emplace(client, CaptureOptions{options.capacity, true});
    const std::int64_t started_ns = WallNs();
    const quor_impl::ClientLayout layout = quor_impl::ClientAccess::Layout(client);
    std::vector<std::pair<std::string, Entries>> facts;
    facts.emplace_back(rf::kMetaRecording,
                       Entries{{"format_version", rf::kFormatVersion},
                               {"protocol_version", rf::kProtocolVersion},
                               {"serial", layout.serial},
                               {"client_version", LibraryVersion()},
                               {"tools_version", LibraryVersion()},
                               {"started_ns", std::to_string(started_ns)}});
    facts.emplace_back(rf::kMetaLayout, LayoutRecord(layout));
    facts.emplace_back(rf::kMetaPlanInfo, FactOrError([&] { return client.plan_info(); },
                                                      PlanInfoRecord));
    facts.emplace_back(rf::kMetaScore,
                       FactOrError([&] { return client.configuration_score(); }, ScoreRecord));
    facts.emplace_back(rf::kMetaPrimitives, FactOrError([&] { return client.primitive_states(); },
                                                        PrimitivesRecord));
    try {
      writer_.Start(rf::kProfile, std::string("korvelquor ") + LibraryVersion());
      for (const auto& [name, entries] : facts) writer_.Metadata(name, entries);
      for (std::size_t k = 0; k < rf::kStreams.size(); ++k) {
        channels_[k] = writer_.Channel(0, rf::Topic(layout.serial, rf::kStreams[k]),
                                       rf::kMessageEncoding, {{rf::kStreamKey, rf::kStreams[k]}});
      }
    } catch (const mcapfile::WriteError& e) {
      writer_.Salvage({});
      throw std::runtime_error(e.what());
    }
    begin_ = Clock::now();
    thread_ = std::thread([this] { Run(); });
  }

  ~Impl() { Stop("the recorder's end"); }

  RecordingSummary Stop(const std::string& stopped_by) {
    {
      std::lock_guard lock(mutex_);
      if (!stop_requested_) stop_requested_ = true, stop_reason_ = stopped_by;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
    return summary();
  }

  RecordingSummary summary() const {
    std::lock_guard lock(mutex_);
    return summary_;
  }

  bool recording() const {
    std::lock_guard lock(mutex_);
    return summary_.stopped_by.empty();
  }

 private:
  static mcapfile::Writer Open(const std::string& path, RecordingCompression c) {
    try {
      return mcapfile::Writer(path, CompressionOf(c), rf::kChunkBytes);
    } catch (const mcapfile::WriteError& e) {
      throw std::runtime_error(e.what());
    }
  }

  void Run() {
    std::string stopped_by;
    auto next_flush = begin_ + options_.flush_period;
    try {
      while (true) {
        {
          std::unique_lock lock(mutex_);
          wake_.wait_for(lock, options_.drain_period, [this] { return stop_requested_; });
          if (stop_requested_) {
            stopped_by = stop_reason_;
            break;
          }
        }
        if (!capture_->Receiving()) {
          stopped_by = "the client ending";
          break;
        }
        CaptureBatch batch;
        try {
          batch = capture_->Drain();
        } catch (const std::runtime_error&) {
          stopped_by = "the client ending";  // the client is gone and nothing is left
          break;
        }
        Write(batch);
        const auto now = Clock::now();
        if (now >= next_flush) {
          writer_.Flush();
          next_flush = now + options_.flush_period;
        }
      }
      capture_->Close();
      try {
        Write(capture_->Drain());
      } catch (const std::runtime_error&) {
        // nothing was left (the client is gone)
      }
      Set([&](RecordingSummary& s) {
        s.stopped_by = stopped_by;
        s.seconds = Seconds();
      });
      writer_.Metadata(rf::kMetaEnd, EndRecord());
      writer_.Finish();
      Set([&](RecordingSummary& s) {
        s.complete = true;
        s.bytes = writer_.size();
      });
    } catch (const std::exception& e) {
      // A failed write (mcapfile::WriteError) or anything else that ends the recording.
      capture_->Close();
      Set([&](RecordingSummary& s) {
        s.stopped_by = "a write error";
        s.error = e.what();
        s.seconds = Seconds();
      });
      writer_.Salvage(EndRecord());
      Set([&](RecordingSummary& s) { s.bytes = writer_.size(); });
    }
    capture_.reset();
  }

  void Write(const CaptureBatch& batch) {
    std::array<mcapfile::StreamSamples, 2> streams;
    std::size_t n = 0;
    const std::array<const StreamRows*, 2> rows = {&batch.basic, &batch.extra};
    for (std::size_t k = 0; k < rows.size(); ++k) {
      if (!rows[k]->raw.seq.empty()) streams[n++] = columns_[k].Of(channels_[k], rows[k]->raw);
    }
    // Counted first: a batch whose write fails was received all the same.
    Set([&](RecordingSummary& s) {
      for (std::size_t k = 0; k < rows.size(); ++k) {
        RecordedCounts& c = k == 0 ? s.basic : s.extra;
        const RawSamples& raw = rows[k]->raw;
        c.samples += raw.seq.size();
        c.dropped += rows[k]->dropped;
        c.undecodable += static_cast<std::uint64_t>(
            std::count(raw.decoded.begin(), raw.decoded.end(), std::uint8_t{0}));
      }
      s.seconds = Seconds();
    });
    writer_.Merged({streams.data(), n});
    Set([&](RecordingSummary& s) { s.bytes = writer_.size(); });
  }

  Entries EndRecord() const {
    const RecordingSummary s = summary();
    Entries out{{"stopped_by", s.stopped_by},
                {"ended_ns", std::to_string(WallNs())},
                {"seconds", Fixed3(s.seconds)},
                {"received_basic", std::to_string(s.basic.samples)},
                {"dropped_basic", std::to_string(s.basic.dropped)},
                {"received_extra", std::to_string(s.extra.samples)},
                {"dropped_extra", std::to_string(s.extra.dropped)}};
    if (!s.error.empty()) out["error"] = s.error;
    return out;
  }

  double Seconds() const {
    return std::chrono::duration<double>(Clock::now() - begin_).count();
  }

  template <class F>
  void Set(F f) {
    std::lock_guard lock(mutex_);
    f(summary_);
  }

  const RecorderOptions options_;
  mcapfile::Writer writer_;
  std::optional<Capture> capture_;
  std::array<std::uint16_t, 2> channels_{};
  std::array<RawColumns, 2> columns_;
  Clock::time_point begin_;

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_requested_ = false;
  std::string stop_reason_;
  RecordingSummary summary_;
  std::thread thread_;
};

Recorder::Recorder(const Client& client, const std::string& path, RecorderOptions options)
    : impl_(std::make_unique<Impl>(client, path, options)) {}

Recorder::~Recorder() = default;

RecordingSummary Recorder::Stop(const std::string& stopped_by) { return impl_->Stop(stopped_by); }
RecordingSummary Recorder::summary() const { return impl_->summary(); }
bool Recorder::recording() const { return impl_->recording(); }

}  // namespace korvel::quor
