#include "recording/recording_facts.hpp"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <variant>

#include "client/version.hpp"
#include "recording/file_format.hpp"

namespace korvel::quor_impl {

namespace {

namespace rf = quor::recording_format;
using quor::JointGroup;
using quor::PlanInfo;
using quor::PrimitiveStates;

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
    char exp[16];
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
    std::snprintf(text, sizeof text, "'utf-8' codec can't decode byte 0x%02x in position %zu: %s",
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
    char b[16];
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
      case '"':
        out += "\\\"";
        continue;
      case '\\':
        out += "\\\\";
        continue;
      case '\n':
        out += "\\n";
        continue;
      case '\r':
        out += "\\r";
        continue;
      case '\t':
        out += "\\t";
        continue;
      case '\b':
        out += "\\b";
        continue;
      case '\f':
        out += "\\f";
        continue;
      default:
        break;
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

// A remote call's record, or its error when the robot refused it (or sent text that is not
// UTF-8): the facts go on either way.
template <class Call, class Convert>
FactRecord FactOrError(Call call, Convert convert) {
  try {
    return convert(call());
  } catch (const std::exception& e) {
    return {{rf::kErrorKey, e.what()}};
  }
}

}  // namespace

FactRecord LayoutRecord(const ClientLayout& l) {
  FactRecord out{{"group_names",
                  KeyedByGroup(l.group_names, [](const std::string& n) { return JsonString(n); })},
                 {"start_ids", KeyedByGroup(l.start_ids, [](auto v) { return std::to_string(v); })},
                 {"dofs", KeyedByGroup(l.dofs, [](auto v) { return std::to_string(v); })},
                 {"joint_count", std::to_string(l.joint_count)}};
  if (l.extra_joint_count) out["extra_joint_count"] = std::to_string(*l.extra_joint_count);
  return out;
}

FactRecord PlanInfoRecord(const PlanInfo& p) {
  return {{"pt_name", Checked(p.pt_name)},
          {"node_name", Checked(p.node_name)},
          {"node_path", Checked(p.node_path)},
          {"node_path_time_period", Checked(p.node_path_time_period)},
          {"node_path_number", Checked(p.node_path_number)},
          {"assigned_plan_name", Checked(p.assigned_plan_name)},
          {"velocity_scale", PyRepr(p.velocity_scale)},
          {"waiting_for_step", p.waiting_for_step ? "1" : "0"}};
}

FactRecord ScoreRecord(const std::map<JointGroup, std::pair<double, double>>& scores) {
  return {{"scores", KeyedByGroup(scores, [](const std::pair<double, double>& s) {
             return "[" + JsonNumber(s.first) + ", " + JsonNumber(s.second) + "]";
           })}};
}

std::string JsonValue(const PrimitiveStates::Value& v) {
  if (const int* i = std::get_if<int>(&v)) return std::to_string(*i);
  if (const double* d = std::get_if<double>(&v)) return JsonNumber(*d);
  return JsonString(std::get<std::string>(v));
}

FactRecord PrimitivesRecord(const std::map<JointGroup, PrimitiveStates>& states) {
  return {{"states", KeyedByGroup(states, [](const PrimitiveStates& p) {
             std::vector<std::pair<std::string, std::string>> values;
             for (const auto& [name, value] : p.names_and_values) {
               values.emplace_back(name, JsonValue(value));
             }
             return JsonObject(
                 {{"pt_name", JsonString(p.pt_name)}, {"values", JsonObject(values)}});
           })}};
}

FactRecord EndRecord(const quor::RecordingSummary& s, std::int64_t ended_ns) {
  char seconds[48];
  std::snprintf(seconds, sizeof seconds, "%.3f", s.seconds);
  FactRecord out{{"stopped_by", s.stopped_by},
                 {"ended_ns", std::to_string(ended_ns)},
                 {"seconds", seconds},
                 {"received_basic", std::to_string(s.basic.samples)},
                 {"dropped_basic", std::to_string(s.basic.dropped)},
                 {"received_extra", std::to_string(s.extra.samples)},
                 {"dropped_extra", std::to_string(s.extra.dropped)}};
  if (!s.error.empty()) out["error"] = s.error;
  return out;
}

FactRecords ConnectionFacts(const quor::Client& client, std::int64_t started_ns,
                            const std::string& tools_version) {
  const ClientLayout layout = ClientAccess::Layout(client);
  FactRecords facts;
  facts.emplace_back(rf::kMetaRecording, FactRecord{{"format_version", rf::kFormatVersion},
                                                    {"protocol_version", rf::kProtocolVersion},
                                                    {"serial", layout.serial},
                                                    {"client_version", quor::LibraryVersion()},
                                                    {"tools_version", tools_version},
                                                    {"started_ns", std::to_string(started_ns)}});
  facts.emplace_back(rf::kMetaLayout, LayoutRecord(layout));
  facts.emplace_back(rf::kMetaPlanInfo,
                     FactOrError([&] { return client.plan_info(); }, PlanInfoRecord));
  facts.emplace_back(rf::kMetaScore,
                     FactOrError([&] { return client.configuration_score(); }, ScoreRecord));
  facts.emplace_back(rf::kMetaPrimitives,
                     FactOrError([&] { return client.primitive_states(); }, PrimitivesRecord));
  return facts;
}

}  // namespace korvel::quor_impl
