// libFuzzer target: the primitive-states parser. The input is the robot's reply list, one
// entry per line ('\n' separates entries, so "a\n\nb" holds an empty entry). The parser may
// fail only in the ways its header lists: std::runtime_error with one of the documented
// messages, the number conversions' std::invalid_argument / std::out_of_range, and
// std::bad_variant_access. Anything else escaping, a crash or a sanitizer report is a finding.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "rpc/primitive_states.hpp"

namespace {

using korvel::quor::JointGroup;
using korvel::quor::PrimitiveStates;
namespace qi = korvel::quor_impl;

[[noreturn]] void Violated(const char* what, std::string_view detail = {}) {
  std::fprintf(stderr, "primitive-states property violated: %s [%.*s]\n", what,
               static_cast<int>(detail.size()), detail.data());
  std::abort();
}

// Groups captured at connection: some groups are present, ARM_2 and the unassigned values
// are not, so "unknown joint group" stays reachable.
const qi::GroupNames& Names() {
  static const qi::GroupNames names{{JointGroup::ALL, "ALL"},
                                    {JointGroup::ARMS, "ARMS"},
                                    {JointGroup::ARM_1, "ARM_1"},
                                    {JointGroup::EXT_AXIS, "EXT_AXIS"}};
  return names;
}

bool IsSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

std::vector<std::string> SplitLines(std::string_view input) {
  std::vector<std::string> list;
  std::size_t start = 0;
  while (true) {
    const std::size_t end = input.find('\n', start);
    list.emplace_back(
        input.substr(start, end == std::string_view::npos ? input.npos : end - start));
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  return list;
}

bool IsDocumentedMessage(std::string_view what) {
  for (const std::string_view message :
       {qi::kPtStatesMalformedEntryMessage, qi::kPtStatesUnknownGroupMessage,
        qi::kPtStatesDuplicateGroupMessage, qi::kPtStatesMissingMarkerMessage,
        qi::kPtStatesMissingKeysMessage, qi::kPtStatesInconsistentGroupMessage}) {
    if (what == message) return true;
  }
  return false;
}

bool IsConversionName(std::string_view what) { return what == "stoi" || what == "stod"; }

// What the typing must respect whatever the text: text values are one token (or nothing),
// ints come from a digit token, doubles are finite (nan and inf stay text).
void CheckTypedValue(const std::string& text) {
  PrimitiveStates::Value value;
  try {
    value = qi::TypePrimitiveValue(text);
  } catch (const std::invalid_argument& e) {
    if (!IsConversionName(e.what())) Violated("unexpected invalid_argument text", e.what());
    return;
  } catch (const std::out_of_range& e) {
    if (!IsConversionName(e.what())) Violated("unexpected out_of_range text", e.what());
    return;
  }
  const std::size_t first = std::find_if_not(text.begin(), text.end(), IsSpace) - text.begin();
  const std::size_t last =
      std::find_if(text.begin() + static_cast<std::ptrdiff_t>(first), text.end(), IsSpace) -
      text.begin();
  const std::string token = text.substr(first, last - first);
  if (const auto* s = std::get_if<std::string>(&value)) {
    if (*s != token) Violated("text value is not the first token", text);
  } else if (const auto* d = std::get_if<double>(&value)) {
    if (!std::isfinite(*d)) Violated("double value is not finite", text);
    if (token.empty()) Violated("double from no token", text);
  } else {
    const std::size_t digits = token.starts_with('-') ? 1 : 0;
    if (token.size() <= digits ||
        token.find_first_not_of("0123456789", digits) != std::string::npos) {
      Violated("int from a token that is not a digit string", text);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::vector<std::string> list = SplitLines(input);

  const bool has_empty =
      std::any_of(list.begin(), list.end(), [](const std::string& s) { return s.empty(); });
  if (qi::IsCorruptedPtStatesList(list) != has_empty) Violated("corruption check", input);

  for (const std::string& entry : list) {
    const std::size_t eq = entry.find('=');
    CheckTypedValue(eq == std::string::npos ? entry : entry.substr(eq + 1));
  }

  std::map<JointGroup, PrimitiveStates> states;
  try {
    states = qi::DecodePrimitiveStates(list, Names());
  } catch (const std::runtime_error& e) {
    if (!IsDocumentedMessage(e.what())) Violated("undocumented runtime_error", e.what());
    return 0;
  } catch (const std::invalid_argument& e) {
    if (!IsConversionName(e.what())) Violated("unexpected invalid_argument text", e.what());
    return 0;
  } catch (const std::out_of_range& e) {
    if (!IsConversionName(e.what())) Violated("unexpected out_of_range text", e.what());
    return 0;
  } catch (const std::bad_variant_access&) {
    return 0;
  }
  // Any other exception escapes and ends the run as an uncaught exception: a finding.

  const auto markers = static_cast<std::size_t>(std::count_if(
      list.begin(), list.end(), [](const std::string& s) { return s.starts_with("jointGroup"); }));
  if (states.size() > markers) Violated("more records than markers", input);
  for (const auto& [group, record] : states) {
    if (!Names().contains(group)) Violated("record for a group not captured", input);
    if (record.names_and_values.contains("jointGroup") ||
        record.names_and_values.contains("primitiveName")) {
      Violated("marker or name key left in names_and_values", input);
    }
  }
  return 0;
}
