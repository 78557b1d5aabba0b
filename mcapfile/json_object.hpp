#pragma once
// A flat JSON object (a recording's joint-group tables) parsed by the transport crate.

#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "mcapfile/mcap_file.h"
#include "zenoh/failure.hpp"

namespace korvel::mcapfile {

struct JsonEntry {
  std::string key;
  std::string value;  // a string's contents, or any other value's JSON text
  bool is_text = false;
};

// Throws std::invalid_argument with the parser's reason when `text` is no JSON object.
inline std::vector<JsonEntry> JsonObject(std::string_view text) {
  std::vector<JsonEntry> entries;
  const auto add = [](void* context, ::kqm_str key, ::kqm_str value, bool is_text) {
    static_cast<std::vector<JsonEntry>*>(context)->push_back(
        {std::string(key.data, key.len), std::string(value.data, value.len), is_text});
  };
  if (::kqm_json_object(text.data(), text.size(), &entries, add) != 0) {
    throw std::invalid_argument(zenoh::detail::last_error());
  }
  return entries;
}

}  // namespace korvel::mcapfile
