#pragma once
// What the transport reports when a zenoh call fails: the code leaves in a ZException (whose
// message is the caller's), zenoh's own reason goes to the debug log.

#include <string>

#include <spdlog/spdlog.h>

#include "zenoh/exception.hpp"
#include "zenoh/transport.h"

namespace zenoh::inline kq::detail {

inline std::string last_error() {
  char buffer[512];
  ::kz_last_error(buffer, sizeof buffer);
  return buffer;
}

// Logs zenoh's reason, then throws `message` with `code`, or stores the code in `err`.
inline void report_failure(ZResult code, const std::string& message, ZResult* err) {
  spdlog::debug("[zenoh] {} ({}): {}", message, static_cast<int>(code), last_error());
  if (err == nullptr) throw ZException(message, code);
  *err = code;
}

}  // namespace zenoh::inline kq::detail
