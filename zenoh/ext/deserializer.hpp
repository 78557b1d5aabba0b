#pragma once
// Decoder of the zenoh-ext serialization format (see serializer.hpp for the layout).
//
// A type joins the format by providing, in its own namespace,
//   bool __zenoh_deserialize_with_deserializer(zenoh::ext::Deserializer&, T&, zenoh::ZResult*);
// which reads the type's fields in wire order and stops at the first failure. Failures
// throw ZException unless the caller passes a result sink, in which case the code is
// stored there and false is returned.
//
// Announced element counts are checked against the bytes actually left before any
// memory is reserved, so no payload can make a decoder allocate more than the payload
// could hold. A type whose smallest encoding is larger than one byte says so by
// specializing MinEncodedSize; that tightens the check.

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "zenoh/bytes.hpp"
#include "zenoh/exception.hpp"
#include "zenoh/ext/utf8.hpp"

namespace zenoh::inline kq::ext {

inline constexpr const char* kDeserializationFailure = "Deserialization failure";
inline constexpr const char* kSequenceLengthFailure =
    "Deserialization failure:: Failed to read sequence length";
inline constexpr const char* kIncorrectSequenceSize = "Incorrect sequence size";
inline constexpr const char* kTrailingBytes =
    "Payload contains more bytes than required for deserialization";

namespace detail {

// Reports a decoding failure: thrown when the caller gave no result sink.
[[nodiscard]] inline bool fail(ZResult* err, ZResult code, const char* message) {
  if (err == nullptr) throw ZException(message, code);
  *err = code;
  return false;
}

constexpr std::size_t leb128_size(std::size_t n) {
  std::size_t size = 1;
  while (n >= 0x80) {
    n >>= 7;
    ++size;
  }
  return size;
}

template <class T>
inline constexpr bool is_plain_number_v = std::is_arithmetic_v<T> && !std::is_same_v<T, bool>;

}  // namespace detail

// Smallest number of bytes that one encoded T can occupy.
template <class T>
struct MinEncodedSize {
  static constexpr std::size_t value = 1;
};
template <class T>
  requires std::is_arithmetic_v<T>
struct MinEncodedSize<T> {
  static constexpr std::size_t value = sizeof(T);
};
template <class T, std::size_t N>
struct MinEncodedSize<std::array<T, N>> {
  static constexpr std::size_t value = detail::leb128_size(N) + N * MinEncodedSize<T>::value;
};
template <class A, class B>
struct MinEncodedSize<std::pair<A, B>> {
  static constexpr std::size_t value = MinEncodedSize<A>::value + MinEncodedSize<B>::value;
};
template <class T>
inline constexpr std::size_t min_encoded_size_v = MinEncodedSize<T>::value;

class Deserializer {
 public:
  explicit Deserializer(ByteView bytes) noexcept
      : cursor_(bytes.data()), end_(bytes.data() + bytes.size()) {}

  template <class T>
  T deserialize(ZResult* err = nullptr);

  bool is_done() const noexcept { return cursor_ == end_; }
  std::size_t remaining() const noexcept { return static_cast<std::size_t>(end_ - cursor_); }

  // Raw reads: false when the payload is too short; nothing is consumed then.
  template <class T>
    requires std::is_arithmetic_v<T>
  bool read_scalar(T& out) noexcept {
    if (remaining() < sizeof(T)) return false;
    std::memcpy(&out, cursor_, sizeof(T));
    cursor_ += sizeof(T);
    return true;
  }

  bool read_raw(void* destination, std::size_t size) noexcept {
    if (remaining() < size) return false;
    if (size != 0) std::memcpy(destination, cursor_, size);
    cursor_ += size;
    return true;
  }

  // Fast path of a fixed array of N numbers: its one-byte length prefix equals N and its
  // elements follow in full. False (nothing consumed) in every other case, which the
  // caller then reads the general way.
  template <std::size_t N>
  bool read_prefixed_raw(void* destination, std::size_t size) noexcept {
    static_assert(N < 0x80, "length prefix must fit one byte");
    if (remaining() <= size || *cursor_ != N) return false;
    std::memcpy(destination, cursor_ + 1, size);
    cursor_ += 1 + size;
    return true;
  }

  // Unsigned LEB128, at most ten bytes and at most 64 significant bits.
  bool read_sequence_length(std::size_t& out) noexcept {
    // Nearly every count on the hot path is below 128: one byte, no loop.
    if (cursor_ != end_ && *cursor_ < 0x80) {
      out = *cursor_++;
      return true;
    }
    std::uint64_t value = 0;
    const std::uint8_t* p = cursor_;
    for (unsigned shift = 0; shift < 64; shift += 7) {
      if (p == end_) return false;
      const std::uint8_t byte = *p++;
      const std::uint64_t bits = byte & 0x7F;
      if (shift == 63 && bits > 1) return false;
      value |= bits << shift;
      if ((byte & 0x80) == 0) {
        cursor_ = p;
        out = static_cast<std::size_t>(value);
        return true;
      }
    }
    return false;
  }

 private:
  const std::uint8_t* cursor_;
  const std::uint8_t* end_;
};

template <class T>
  requires std::is_arithmetic_v<T>
inline bool __zenoh_deserialize_with_deserializer(Deserializer& d, T& value, ZResult* err) {
  if constexpr (std::is_same_v<T, bool>) {
    std::uint8_t raw = 0;
    if (!d.read_scalar(raw) || raw > 1) {
      return detail::fail(err, Z_EDESERIALIZE, kDeserializationFailure);
    }
    value = raw != 0;
    return true;
  } else {
    if (!d.read_scalar(value)) return detail::fail(err, Z_EDESERIALIZE, kDeserializationFailure);
    return true;
  }
}

inline bool __zenoh_deserialize_with_deserializer(Deserializer& d, std::string& value,
                                                  ZResult* err) {
  std::size_t n = 0;
  if (!d.read_sequence_length(n)) return detail::fail(err, Z_EDESERIALIZE, kSequenceLengthFailure);
  if (n > d.remaining()) return detail::fail(err, Z_EDESERIALIZE, kDeserializationFailure);
  value.resize(n);
  d.read_raw(value.data(), n);
  // Text must be UTF-8, as zenoh's own string deserializer insists.
  if (!detail::is_valid_utf8(reinterpret_cast<const std::uint8_t*>(value.data()), n)) {
    return detail::fail(err, Z_EDESERIALIZE, kDeserializationFailure);
  }
  return true;
}

template <class T, class A>
bool __zenoh_deserialize_with_deserializer(Deserializer& d, std::vector<T, A>& value, ZResult* err);
template <class T, std::size_t N>
bool __zenoh_deserialize_with_deserializer(Deserializer& d, std::array<T, N>& value, ZResult* err);
template <class A, class B>
bool __zenoh_deserialize_with_deserializer(Deserializer& d, std::pair<A, B>& value, ZResult* err);

template <class T, class A>
bool __zenoh_deserialize_with_deserializer(Deserializer& d, std::vector<T, A>& value,
                                           ZResult* err) {
  std::size_t n = 0;
  if (!d.read_sequence_length(n)) return detail::fail(err, Z_EDESERIALIZE, kSequenceLengthFailure);
  if (n > d.remaining() / min_encoded_size_v<T>) {
    return detail::fail(err, Z_EDESERIALIZE, kDeserializationFailure);
  }
  value.clear();
  if constexpr (detail::is_plain_number_v<T>) {
    value.resize(n);
    d.read_raw(value.data(), n * sizeof(T));
  } else if constexpr (std::is_same_v<T, bool>) {
    // std::vector<bool> hands out proxies, not references: append instead.
    value.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
      bool element = false;
      if (!__zenoh_deserialize_with_deserializer(d, element, err)) return false;
      value.push_back(element);
    }
  } else {
    // One allocation, then every element is decoded where it will stay.
    value.resize(n);
    for (auto& element : value) {
      if (!__zenoh_deserialize_with_deserializer(d, element, err)) return false;
    }
  }
  return true;
}

template <class T, std::size_t N>
bool __zenoh_deserialize_with_deserializer(Deserializer& d, std::array<T, N>& value, ZResult* err) {
  if constexpr (detail::is_plain_number_v<T> && N > 0 && N < 0x80) {
    if (d.read_prefixed_raw<N>(value.data(), N * sizeof(T))) return true;
  }
  std::size_t n = 0;
  if (!d.read_sequence_length(n)) return detail::fail(err, Z_EDESERIALIZE, kSequenceLengthFailure);
  if (n != N) return detail::fail(err, Z_EDESERIALIZE, kIncorrectSequenceSize);
  if constexpr (detail::is_plain_number_v<T>) {
    if (!d.read_raw(value.data(), N * sizeof(T))) {
      return detail::fail(err, Z_EDESERIALIZE, kDeserializationFailure);
    }
  } else if constexpr (std::is_same_v<T, bool>) {
    // Flag arrays: one length check and one copy; any byte other than 0 or 1 is refused.
    std::uint8_t raw[N > 0 ? N : 1];
    if (!d.read_raw(raw, N)) return detail::fail(err, Z_EDESERIALIZE, kDeserializationFailure);
    std::uint8_t bad = 0;
    for (std::size_t i = 0; i < N; ++i) {
      bad |= raw[i] & 0xFE;
      value[i] = raw[i] != 0;
    }
    if (bad != 0) return detail::fail(err, Z_EDESERIALIZE, kDeserializationFailure);
  } else {
    for (auto& element : value) {
      if (!__zenoh_deserialize_with_deserializer(d, element, err)) return false;
    }
  }
  return true;
}

template <class A, class B>
bool __zenoh_deserialize_with_deserializer(Deserializer& d, std::pair<A, B>& value, ZResult* err) {
  return __zenoh_deserialize_with_deserializer(d, value.first, err) &&
         __zenoh_deserialize_with_deserializer(d, value.second, err);
}

template <class T>
T Deserializer::deserialize(ZResult* err) {
  T value{};
  __zenoh_deserialize_with_deserializer(*this, value, err);
  return value;
}

// Decodes a whole payload as one T. Bytes left over after the value fail the decode,
// even though the value itself was read completely.
template <class T>
T deserialize(ByteView payload, ZResult* err = nullptr) {
  Deserializer d(payload);
  T value{};
  if (!__zenoh_deserialize_with_deserializer(d, value, err)) return value;
  if (!d.is_done()) (void)detail::fail(err, Z_EDESERIALIZE, kTrailingBytes);
  return value;
}

// Decodes a whole payload into an existing value, reusing the storage of its lists. On
// failure `value` is left partly overwritten, so decode into scratch space, never into data
// that others read. Returns false only when a result sink took the failure.
template <class T>
bool deserialize_into(ByteView payload, T& value, ZResult* err = nullptr) {
  Deserializer d(payload);
  if (!__zenoh_deserialize_with_deserializer(d, value, err)) return false;
  if (!d.is_done()) return detail::fail(err, Z_EDESERIALIZE, kTrailingBytes);
  return true;
}

}  // namespace zenoh::inline kq::ext
