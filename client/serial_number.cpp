#include "client/serial_number.hpp"

namespace korvel::quor_impl {
namespace {

// Byte-wise and locale-free on purpose: <cctype> would depend on the process locale and
// accept letters above 127 in some of them.
bool IsAsciiLetterOrDigit(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

constexpr std::string_view kKeyExprSpecials = "*$/?#";

bool IsControl(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte < 0x20 || byte == 0x7F;
}

}  // namespace

std::optional<std::string> NormalizeSerialNumber(std::string_view robot_sn) {
  if (robot_sn.empty() || robot_sn.size() > kMaxSerialNumberLength ||
      robot_sn.find('_') != std::string_view::npos) {
    return std::nullopt;
  }
  // A NUL would also cut every message that names the serial number short.
  for (const char c : robot_sn) {
    if (IsControl(c)) return std::nullopt;
  }
  const std::size_t last_dash = robot_sn.rfind('-');
  if (last_dash == std::string_view::npos || last_dash == 0 || last_dash + 1 == robot_sn.size()) {
    return std::nullopt;
  }
  const std::string_view model = robot_sn.substr(0, last_dash);
  const std::string_view unit = robot_sn.substr(last_dash + 1);
  if (unit.find_first_of(kKeyExprSpecials) != std::string_view::npos) {
    return std::nullopt;
  }

  std::string normalized;
  normalized.reserve(robot_sn.size());
  bool token_empty = true;
  for (const char c : model) {
    if (IsAsciiLetterOrDigit(c)) {
      normalized.push_back(c);
      token_empty = false;
    } else if (c == ' ' || c == '-') {
      // A separator may not lead or be doubled.
      if (token_empty) {
        return std::nullopt;
      }
      normalized.push_back('-');
      token_empty = true;
    } else {
      return std::nullopt;
    }
  }
  // Nor trail: "AB -012345" and "AB--012345" end the model part on a separator.
  if (token_empty) {
    return std::nullopt;
  }
  normalized.push_back('-');
  normalized.append(unit);
  return normalized;
}

}  // namespace korvel::quor_impl
