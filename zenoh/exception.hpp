#pragma once
// Errors of the transport layer: a message and the zenoh result code that caused it.

#include <cstdint>
#include <stdexcept>
#include <string>

#include "zenoh/result_codes.h"

namespace zenoh::inline kq {

// zenoh result codes; negative values are failures (zenoh/result_codes.h).
using ZResult = std::int8_t;

inline constexpr ZResult Z_OK = KZ_OK;
inline constexpr ZResult Z_EINVAL = KZ_EINVAL;
inline constexpr ZResult Z_EPARSE = KZ_EPARSE;
inline constexpr ZResult Z_EIO = KZ_EIO;
inline constexpr ZResult Z_ENETWORK = KZ_ENETWORK;
inline constexpr ZResult Z_ENULL = KZ_ENULL;
inline constexpr ZResult Z_EUNAVAILABLE = KZ_EUNAVAILABLE;
inline constexpr ZResult Z_EDESERIALIZE = KZ_EDESERIALIZE;
inline constexpr ZResult Z_ESESSION_CLOSED = KZ_ESESSION_CLOSED;
inline constexpr ZResult Z_EUTF8 = KZ_EUTF8;
inline constexpr ZResult Z_EGENERIC = KZ_EGENERIC;

class ZException : public std::runtime_error {
 public:
  ZException(const std::string& message, ZResult code) : std::runtime_error(message), code_(code) {}

  ZResult get_error_code() const noexcept { return code_; }

 private:
  ZResult code_;
};

// Throws unless `code` is Z_OK; used where a failure must leave the caller.
inline void throw_if_error(ZResult code, const std::string& message) {
  if (code != Z_OK) throw ZException(message, code);
}

}  // namespace zenoh::inline kq
