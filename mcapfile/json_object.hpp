#pragma once
// A flat JSON object (a recording's joint-group tables) parsed by the MCAP crate.

#include <cstdint>
#include <exception>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "mcapfile/c_abi.hpp"

namespace korvel::mcapfile {

struct JsonEntry {
  std::string key;
  std::string value;  // a string's contents, or any other value's JSON text
  bool is_text = false;
};

// Throws std::invalid_argument with the parser's reason when `text` is no JSON object.
inline std::vector<JsonEntry> JsonObject(std::string_view text) {
  struct Parsed {
    std::vector<JsonEntry> entries;
    std::exception_ptr failure;  // thrown here again: it may not cross the Rust frames
  } parsed;
  const auto add = [](void* context, ::kqm_str key, ::kqm_str value,
                      bool is_text) noexcept -> std::int32_t {
    Parsed& p = *static_cast<Parsed*>(context);
    try {
      p.entries.push_back(
          {std::string(key.data, key.len), std::string(value.data, value.len), is_text});
      return 0;
    } catch (...) {
      p.failure = std::current_exception();
      return 1;
    }
  };
  const std::int32_t got = ::kqm_json_object(text.data(), text.size(), &parsed, add);
  if (parsed.failure) std::rethrow_exception(parsed.failure);
  if (got != 0) throw std::invalid_argument(detail::last_error());
  return std::move(parsed.entries);
}

}  // namespace korvel::mcapfile
