#pragma once
// Encoder of the zenoh-ext serialization format: little-endian fixed-width numbers,
// LEB128 sequence lengths, strings and sequences prefixed by their element count,
// records as their fields back to back.
//
// A type joins the format by providing, in its own namespace,
//   void __zenoh_serialize_with_serializer(zenoh::ext::Serializer&, const T&, zenoh::ZResult*);

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "zenoh/bytes.hpp"
#include "zenoh/exception.hpp"

namespace zenoh::inline kq::ext {

static_assert(std::endian::native == std::endian::little,
              "the wire format is little-endian and is copied as such");

class Serializer {
 public:
  Serializer() = default;

  template <class T>
  void serialize(const T& value, ZResult* err = nullptr);

  void serialize_sequence_length(std::size_t n) {
    std::uint64_t v = n;
    while (v >= 0x80) {
      buffer_.push_back(static_cast<std::uint8_t>(v | 0x80));
      v >>= 7;
    }
    buffer_.push_back(static_cast<std::uint8_t>(v));
  }

  template <class T>
    requires std::is_arithmetic_v<T>
  void write_scalar(T value) {
    std::uint8_t raw[sizeof(T)];
    std::memcpy(raw, &value, sizeof(T));
    buffer_.insert(buffer_.end(), raw, raw + sizeof(T));
  }

  void write_raw(const void* data, std::size_t size) {
    auto p = static_cast<const std::uint8_t*>(data);
    buffer_.insert(buffer_.end(), p, p + size);
  }

  Bytes finish() && { return Bytes(std::move(buffer_)); }

 private:
  std::vector<std::uint8_t> buffer_;
};

template <class T>
  requires std::is_arithmetic_v<T>
inline void __zenoh_serialize_with_serializer(Serializer& s, const T& value, ZResult*) {
  if constexpr (std::is_same_v<T, bool>) {
    s.write_scalar<std::uint8_t>(value ? 1 : 0);
  } else {
    s.write_scalar<T>(value);
  }
}

inline void __zenoh_serialize_with_serializer(Serializer& s, const std::string& value, ZResult*) {
  s.serialize_sequence_length(value.size());
  s.write_raw(value.data(), value.size());
}

template <class T, class A>
void __zenoh_serialize_with_serializer(Serializer& s, const std::vector<T, A>& value, ZResult* err);
template <class T, std::size_t N>
void __zenoh_serialize_with_serializer(Serializer& s, const std::array<T, N>& value, ZResult* err);
template <class A, class B>
void __zenoh_serialize_with_serializer(Serializer& s, const std::pair<A, B>& value, ZResult* err);

template <class T, class A>
void __zenoh_serialize_with_serializer(Serializer& s, const std::vector<T, A>& value,
                                       ZResult* err) {
  s.serialize_sequence_length(value.size());
  for (const auto& element : value) __zenoh_serialize_with_serializer(s, element, err);
}

template <class T, std::size_t N>
void __zenoh_serialize_with_serializer(Serializer& s, const std::array<T, N>& value, ZResult* err) {
  s.serialize_sequence_length(N);
  for (const auto& element : value) __zenoh_serialize_with_serializer(s, element, err);
}

template <class A, class B>
void __zenoh_serialize_with_serializer(Serializer& s, const std::pair<A, B>& value, ZResult* err) {
  __zenoh_serialize_with_serializer(s, value.first, err);
  __zenoh_serialize_with_serializer(s, value.second, err);
}

template <class T>
void Serializer::serialize(const T& value, ZResult* err) {
  __zenoh_serialize_with_serializer(*this, value, err);
}

// Encodes one value as a whole payload.
template <class T>
Bytes serialize(const T& value, ZResult* err = nullptr) {
  Serializer s;
  s.serialize(value, err);
  return std::move(s).finish();
}

}  // namespace zenoh::inline kq::ext
