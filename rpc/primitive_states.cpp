#include "rpc/primitive_states.hpp"

#include <algorithm>
#include <locale>
#include <sstream>
#include <stdexcept>

#include "rpc/classic_stod.hpp"

namespace korvel::quor_impl {

using quor::JointGroup;
using quor::PrimitiveStates;

namespace {

constexpr std::string_view kMarkerKey = "jointGroup";
constexpr std::string_view kNameKey = "primitiveName";

[[noreturn]] void Fail(std::string_view message) { throw std::runtime_error(std::string(message)); }

// A marker is recognised by its text alone, before its key is cut: "jointGroupX = 2" counts.
bool IsMarker(const std::string& entry) { return entry.starts_with(kMarkerKey); }

// Position of the entry's first '=', failing when there is none or nothing precedes it.
std::size_t SeparatorOf(const std::string& entry) {
  const std::size_t eq = entry.find('=');
  if (eq == std::string::npos || eq == 0) {
    Fail(kPtStatesMalformedEntryMessage);
  }
  return eq;
}

bool IsIntegerToken(const std::string& token) {
  const std::size_t first_digit = token.starts_with('-') ? 1 : 0;
  return std::all_of(token.begin() + static_cast<std::ptrdiff_t>(first_digit), token.end(),
                     [](char c) { return c >= '0' && c <= '9'; });
}

bool IsWholeDouble(const std::string& token) {
  std::istringstream in(token);
  in.imbue(std::locale::classic());
  double value = 0.0;
  return (in >> value) && in.eof();
}

PrimitiveStates DecodeBlock(JointGroup group, const std::vector<const std::string*>& block) {
  std::map<std::string, PrimitiveStates::Value> values;
  for (const std::string* entry : block) {
    if (entry->empty()) {
      Fail(kPtStatesMalformedEntryMessage);
    }
    const std::size_t eq = SeparatorOf(*entry);
    // The character just before '=' is the separator the robot writes ("count = 3").
    std::string key = entry->substr(0, eq - 1);
    PrimitiveStates::Value value = TypePrimitiveValue(entry->substr(eq + 1));
    values.try_emplace(std::move(key), std::move(value));
  }

  const auto marker = values.find(std::string(kMarkerKey));
  const auto name = values.find(std::string(kNameKey));
  if (marker == values.end() || name == values.end()) {
    Fail(kPtStatesMissingKeysMessage);
  }
  if (std::get<int>(marker->second) != static_cast<int>(group)) {
    Fail(kPtStatesInconsistentGroupMessage);
  }
  PrimitiveStates states;
  states.pt_name = std::get<std::string>(name->second);
  values.erase(marker);
  values.erase(name);
  states.names_and_values = std::move(values);
  return states;
}

}  // namespace

bool IsCorruptedPtStatesList(const std::vector<std::string>& list) {
  return std::any_of(list.begin(), list.end(), [](const std::string& s) { return s.empty(); });
}

PrimitiveStates::Value TypePrimitiveValue(const std::string& value_text) {
  std::istringstream in(value_text);
  in.imbue(std::locale::classic());
  std::string token;
  if (!(in >> token)) {
    return std::string();
  }
  if (IsIntegerToken(token)) {
    return std::stoi(token);
  }
  if (IsWholeDouble(token)) {
    return ClassicStod(token);
  }
  return token;
}

std::map<JointGroup, PrimitiveStates> DecodePrimitiveStates(const std::vector<std::string>& list,
                                                            const GroupNames& group_names) {
  std::map<JointGroup, std::vector<const std::string*>> blocks;
  std::vector<const std::string*>* current = nullptr;
  for (const std::string& entry : list) {
    if (!IsMarker(entry)) {
      if (current == nullptr) {
        Fail(kPtStatesMissingMarkerMessage);
      }
      current->push_back(&entry);
      continue;
    }
    const std::size_t eq = SeparatorOf(entry);
    // Only the integer prefix counts here ("2.0" opens group 2); std::stoi's exceptions pass.
    const auto group = static_cast<JointGroup>(std::stoi(entry.substr(eq + 1)));
    if (!group_names.contains(group)) {
      Fail(kPtStatesUnknownGroupMessage);
    }
    const auto [block, inserted] = blocks.try_emplace(group);
    if (!inserted) {
      Fail(kPtStatesDuplicateGroupMessage);
    }
    block->second.push_back(&entry);
    current = &block->second;
  }

  std::map<JointGroup, PrimitiveStates> result;
  for (const auto& [group, block] : blocks) {
    result.emplace_hint(result.end(), group, DecodeBlock(group, block));
  }
  return result;
}

}  // namespace korvel::quor_impl
