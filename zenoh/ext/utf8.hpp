#pragma once
// UTF-8 well-formedness, as zenoh's own string deserializer requires it: no overlong forms,
// no surrogates (U+D800..U+DFFF), nothing above U+10FFFF, no truncated sequence, and none of
// the bytes that never occur in UTF-8 (0xC0, 0xC1, 0xF5..0xFF).
//
// Text from the robot is nearly always ASCII: a first pass ORs the bytes together, eight at a
// time, and accepts when no high bit is set. Otherwise a second pass checks every multi-byte
// sequence inline, skipping runs of ASCII a word at a time.

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace zenoh::inline kq::ext::detail {

inline bool is_continuation(std::uint8_t b) noexcept { return (b & 0xC0) == 0x80; }

// True when no byte has its high bit set: whole words, then the tail, with no branch per byte.
inline bool is_ascii(const std::uint8_t* p, std::size_t n) noexcept {
  std::uint64_t high = 0;
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    std::uint64_t word;
    std::memcpy(&word, p + i, 8);
    high |= word;
  }
  std::uint8_t tail = 0;
  for (; i < n; ++i) tail |= p[i];
  return ((high & 0x8080808080808080ull) | (tail & 0x80)) == 0;
}

inline bool is_valid_utf8(const std::uint8_t* p, std::size_t n) noexcept {
  if (is_ascii(p, n)) return true;
  const std::uint8_t* const end = p + n;
  while (p != end) {
    while (end - p >= 8) {
      std::uint64_t word;
      std::memcpy(&word, p, 8);
      if ((word & 0x8080808080808080ull) != 0) break;
      p += 8;
    }
    if (p == end) return true;
    const std::uint8_t lead = *p;
    if (lead < 0x80) {
      ++p;
      continue;
    }
    const std::size_t left = static_cast<std::size_t>(end - p);
    if (lead >= 0xC2 && lead <= 0xDF) {
      if (left < 2 || !is_continuation(p[1])) return false;
      p += 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      if (left < 3 || !is_continuation(p[1]) || !is_continuation(p[2])) return false;
      // E0 needs A0..BF second (else overlong); ED needs 80..9F (else a surrogate).
      if (lead == 0xE0 && p[1] < 0xA0) return false;
      if (lead == 0xED && p[1] > 0x9F) return false;
      p += 3;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      if (left < 4 || !is_continuation(p[1]) || !is_continuation(p[2]) || !is_continuation(p[3])) {
        return false;
      }
      // F0 needs 90..BF second (else overlong); F4 needs 80..8F (else above U+10FFFF).
      if (lead == 0xF0 && p[1] < 0x90) return false;
      if (lead == 0xF4 && p[1] > 0x8F) return false;
      p += 4;
    } else {
      return false;  // a continuation byte without a lead, 0xC0, 0xC1 or 0xF5..0xFF
    }
  }
  return true;
}

}  // namespace zenoh::inline kq::ext::detail
