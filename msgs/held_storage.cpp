#include "msgs/held_storage.hpp"

#include <malloc.h>

#include <tuple>
#include <vector>

namespace korvel::zenoh_msgs::quor_msg {

namespace {

// A list's own storage; its elements (fixed-size records) hold none of theirs.
template <class T>
std::size_t Held(const std::vector<T>& list) {
  return list.capacity() * sizeof(T);
}

template <class T>
std::size_t Held(const T& value) {
  if constexpr (requires { T::Fields(); }) {
    return std::apply([&](auto... field) { return (Held(value.*field) + ... + 0); }, T::Fields());
  } else {
    return 0;  // held inline
  }
}

}  // namespace

void ReleaseFreedMemory() noexcept {
#if defined(__GLIBC__)
  malloc_trim(0);
#endif
}

std::size_t HeldBytes(const AllBasicStreamData& m) { return Held(m); }

std::size_t HeldBytes(const AllExtraStreamData& m) { return Held(m); }

}  // namespace korvel::zenoh_msgs::quor_msg
