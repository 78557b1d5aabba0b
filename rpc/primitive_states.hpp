#pragma once
// Decoding the robot's primitive-states reply: a flat list of "key<sep>= value" entries, cut
// into blocks that each open with a "jointGroup" marker entry.

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "client/group_layout.hpp"
#include "client/joint_group.hpp"
#include "client/records.hpp"

namespace korvel::quor_impl {

inline constexpr std::string_view kPtStatesNoReplyMessage =
    "[korvel::quor::Client::primitive_states] No reply from the robot";
inline constexpr std::string_view kPtStatesCorruptedMessage =
    "[korvel::quor::Client::primitive_states] Still received corrupted data after several "
    "attempts";
inline constexpr std::string_view kPtStatesMalformedEntryMessage =
    "[korvel::quor::Client::primitive_states] Malformed primitive state entry";
inline constexpr std::string_view kPtStatesUnknownGroupMessage =
    "[korvel::quor::Client::primitive_states] Received primitive states for unknown joint group";
inline constexpr std::string_view kPtStatesDuplicateGroupMessage =
    "[korvel::quor::Client::primitive_states] Duplicate primitive states for a joint group";
inline constexpr std::string_view kPtStatesMissingMarkerMessage =
    "[korvel::quor::Client::primitive_states] Malformed primitive states: missing jointGroup "
    "marker";
inline constexpr std::string_view kPtStatesMissingKeysMessage =
    "[korvel::quor::Client::primitive_states] Malformed primitive states: jointGroup or "
    "primitiveName missing";
inline constexpr std::string_view kPtStatesInconsistentGroupMessage =
    "[korvel::quor::Client::primitive_states] Inconsistent joint group in primitive states";

// How many times a corrupted list is requested before giving up.
inline constexpr int kPtStatesMaxAttempts = 6;

// A list with an empty entry anywhere arrived corrupted and is to be requested again.
bool IsCorruptedPtStatesList(const std::vector<std::string>& list);

// Types a value text by its first white-space-delimited token: digits with an optional
// leading '-' are an int (std::stoi, whose exceptions pass through), a token that a formatted
// double extraction consumes whole is a double (read like std::stod in the "C" locale),
// anything else is the token as text; no token at all is the empty text.
quor::PrimitiveStates::Value TypePrimitiveValue(const std::string& value_text);

// One PrimitiveStates per block, for groups of `group_names` only. Throws std::runtime_error
// with one of the messages above on malformed input, and passes on the standard exceptions
// of the number conversions and of a value of the wrong alternative
// (std::bad_variant_access).
std::map<quor::JointGroup, quor::PrimitiveStates> DecodePrimitiveStates(
    const std::vector<std::string>& list, const GroupNames& group_names);

}  // namespace korvel::quor_impl
