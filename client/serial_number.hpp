#pragma once
// Validation and normalization of a robot serial number: a model designation and a unit
// number joined by the last dash. The model's words (ASCII letters and digits separated by
// single spaces or dashes) are rejoined with dashes; the unit number is kept as given.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace korvel::quor_impl {

inline constexpr std::string_view kInvalidSerialNumberMessage =
    "[korvel::quor::Client] Format of the provided robot serial number is invalid";

// Longer than any real serial number by far; a longer one is malformed. (A key expression
// built from a serial of some 65 000 bytes no longer fits a zenoh message.)
inline constexpr std::size_t kMaxSerialNumberLength = 256;

// The normalized serial number, or nullopt when the input is malformed. The unit part may
// not hold a character that zenoh gives a meaning in key expressions (* $ / ? #): the serial
// number becomes a chunk of every key expression of the robot, and such a character would
// address other robots' topics or make the key expression invalid. No part may hold a
// control character (the C0 codes, NUL among them, and DEL), and the whole may not be longer
// than kMaxSerialNumberLength bytes.
std::optional<std::string> NormalizeSerialNumber(std::string_view robot_sn);

}  // namespace korvel::quor_impl
