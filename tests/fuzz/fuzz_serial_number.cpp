// libFuzzer target: serial-number validation and normalization. The input bytes are the
// serial number. Checked:
//  - the answer agrees with a plain token-by-token reading of the rules (a second,
//    independent implementation below);
//  - an accepted serial number normalizes to itself, keeps its length and unit part, has a
//    model part of letters, digits and single inner dashes only (no space, no underscore);
//  - the key expressions built from it hold no character with a meaning to zenoh and no
//    empty chunk, so it can only ever address this robot's own topics.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "client/serial_number.hpp"

namespace {

[[noreturn]] void Violated(const char* what, std::string_view input) {
  std::fprintf(stderr, "serial-number property violated: %s [%.*s]\n", what,
               static_cast<int>(input.size()), input.data());
  std::abort();
}

bool IsAlnum(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

// The rules read literally: split at the last dash, cut the model part into tokens at every
// space or dash, refuse empty tokens and foreign bytes, join the tokens with dashes.
std::optional<std::string> Reference(std::string_view sn) {
  if (sn.empty() || sn.size() > 256 || sn.find('_') != sn.npos) return std::nullopt;
  for (const char c : sn) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return std::nullopt;
  }
  const std::size_t dash = sn.rfind('-');
  if (dash == sn.npos || dash == 0 || dash == sn.size() - 1) return std::nullopt;
  const std::string_view unit = sn.substr(dash + 1);
  for (const char c : unit) {
    if (c == '*' || c == '$' || c == '/' || c == '?' || c == '#') return std::nullopt;
  }
  std::vector<std::string> tokens(1);
  for (const char c : sn.substr(0, dash)) {
    if (IsAlnum(c)) {
      tokens.back().push_back(c);
    } else if (c == ' ' || c == '-') {
      if (tokens.back().empty()) return std::nullopt;
      tokens.emplace_back();
    } else {
      return std::nullopt;
    }
  }
  if (tokens.back().empty()) return std::nullopt;
  std::string out;
  for (const auto& t : tokens) out += t + "-";
  return out + std::string(unit);
}

// A key expression in zenoh's canonical form with no wildcard: non-empty chunks, none of
// the characters zenoh reserves.
bool IsPlainKeyExpr(std::string_view ke) {
  if (ke.find_first_of("*$?#") != ke.npos) return false;
  if (ke.empty() || ke.front() == '/' || ke.back() == '/') return false;
  return ke.find("//") == ke.npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::optional<std::string> normal = korvel::quor_impl::NormalizeSerialNumber(input);
  if (normal != Reference(input)) Violated("differs from the literal reading of the rules", input);
  if (!normal) return 0;

  if (normal->size() != input.size()) Violated("length changed", input);
  if (korvel::quor_impl::NormalizeSerialNumber(*normal) != normal) {
    Violated("normal form is not its own normal form", input);
  }
  const std::size_t dash = normal->rfind('-');
  const std::string_view model = std::string_view(*normal).substr(0, dash);
  const std::string_view unit = std::string_view(*normal).substr(dash + 1);
  if (unit != input.substr(input.rfind('-') + 1)) Violated("unit part changed", input);
  if (model.empty() || model.front() == '-' || model.back() == '-' ||
      model.find("--") != model.npos) {
    Violated("model part has an empty word", input);
  }
  for (const char c : model) {
    if (!IsAlnum(c) && c != '-')
      Violated("model part holds a space, underscore or other byte", input);
  }
  for (const char* suffix : {"/rpc", "/basic_stream_data", "/extra_stream_data"}) {
    if (!IsPlainKeyExpr("korvel/robot/" + *normal + suffix)) {
      Violated("key expression would not name exactly this robot", input);
    }
  }
  return 0;
}
