#pragma once
// Errors of the transport layer: a message and the zenoh result code that caused it.

#include <cstdint>
#include <stdexcept>
#include <string>

namespace zenoh::inline kq {

// zenoh result codes; negative values are failures.
using ZResult = std::int8_t;

inline constexpr ZResult Z_OK = 0;
inline constexpr ZResult Z_EINVAL = -1;
inline constexpr ZResult Z_EPARSE = -2;
inline constexpr ZResult Z_EIO = -3;
inline constexpr ZResult Z_ENETWORK = -4;
inline constexpr ZResult Z_ENULL = -5;
inline constexpr ZResult Z_EUNAVAILABLE = -6;
inline constexpr ZResult Z_EDESERIALIZE = -7;
inline constexpr ZResult Z_ESESSION_CLOSED = -8;
inline constexpr ZResult Z_EUTF8 = -9;
inline constexpr ZResult Z_EGENERIC = INT8_MIN;

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
