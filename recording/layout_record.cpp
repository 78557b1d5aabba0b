// Reading a layout record back: every value a file may hold checked before the decoders
// size anything by it.

#include <algorithm>
#include <optional>
#include <stdexcept>

#include "capture/recording.hpp"
#include "mcapfile/json_object.hpp"
#include "recording/recording_facts.hpp"

namespace korvel::quor_impl {

using quor::JointGroup;

namespace {

std::uint64_t Whole(const mcapfile::JsonEntry& e, const std::string& what) {
  constexpr std::uint64_t kLimit = std::uint64_t{1} << 32;
  const bool digits =
      !e.is_text && !e.value.empty() &&
      std::all_of(e.value.begin(), e.value.end(), [](char c) { return c >= '0' && c <= '9'; });
  if (!digits || e.value.size() > 10 || std::stoull(e.value) >= kLimit) {
    throw std::invalid_argument(what + " must be a whole number from 0 to " +
                                std::to_string(kLimit - 1) + ", got " +
                                (e.is_text ? "'" + e.value + "'" : e.value));
  }
  return std::stoull(e.value);
}

JointGroup GroupOf(const std::string& key, const std::string& table) {
  const bool digits =
      !key.empty() && key.size() < 4 &&
      std::all_of(key.begin(), key.end(), [](char c) { return c >= '0' && c <= '9'; });
  if (!digits || std::stoi(key) > 255) {
    throw std::invalid_argument("'" + table + "' is keyed by joint-group values, got '" + key +
                                "'");
  }
  return static_cast<JointGroup>(std::stoi(key));
}

std::vector<mcapfile::JsonEntry> Table(const std::map<std::string, std::string>& meta,
                                       const std::string& name) {
  const auto it = meta.find(name);
  if (it == meta.end()) throw std::invalid_argument("'" + name + "' is missing");
  try {
    return mcapfile::JsonObject(it->second);
  } catch (const std::invalid_argument& e) {
    throw std::invalid_argument("'" + name + "' is not a JSON object: '" + name + "' is " +
                                e.what());
  }
}

}  // namespace

ClientLayout LayoutFromRecord(const FactRecord& meta, const std::string& serial) {
  ClientLayout layout;
  layout.serial = serial;
  for (const auto& e : Table(meta, "group_names")) {
    if (!e.is_text) throw std::invalid_argument("group names must be text, got " + e.value);
    layout.group_names[GroupOf(e.key, "group_names")] = e.value;
  }
  for (const auto& e : Table(meta, "start_ids")) {
    const JointGroup g = GroupOf(e.key, "start_ids");
    layout.start_ids[g] = static_cast<unsigned>(
        Whole(e, "the start ID of joint group " + std::to_string(static_cast<int>(g))));
  }
  for (const auto& e : Table(meta, "dofs")) {
    const JointGroup g = GroupOf(e.key, "dofs");
    layout.dofs[g] = Whole(e, "the DoF of joint group " + std::to_string(static_cast<int>(g)));
  }
  const auto number = [&](const char* name) -> std::optional<std::uint64_t> {
    const auto it = meta.find(name);
    if (it == meta.end()) return std::nullopt;
    return Whole({name, it->second, false}, name);
  };
  const auto joints = number("joint_count");
  if (!joints) throw std::invalid_argument("'joint_count' is missing");
  layout.joint_count = *joints;
  if (const auto extra = number("extra_joint_count")) layout.extra_joint_count = *extra;
  CheckRecordedLayout(layout);
  return layout;
}

}  // namespace korvel::quor_impl
