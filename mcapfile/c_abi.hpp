#pragma once
// What the wrappers share over the MCAP crate's C ABI: a handle released exactly once by its
// free function, and the reason a call left behind.

#include <memory>
#include <string>

#include "mcapfile/mcap.h"

namespace korvel::mcapfile::detail {

template <auto Free>
struct Freer {
  template <class T>
  void operator()(T* handle) const noexcept {
    Free(handle);
  }
};

template <class T, auto Free>
using Handle = std::unique_ptr<T, Freer<Free>>;

inline std::string last_error() {
  char buffer[512];
  ::kqm_last_error(buffer, sizeof buffer);
  return buffer;
}

}  // namespace korvel::mcapfile::detail
