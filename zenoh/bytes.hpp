#pragma once
// Payload bytes. `Bytes` owns an encoded payload; decoders read through a non-owning
// `std::span` so that a received sample is decoded where zenoh left it, without a copy.

#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

namespace zenoh::inline kq {

using ByteView = std::span<const std::uint8_t>;

class Bytes {
 public:
  Bytes() = default;
  explicit Bytes(std::vector<std::uint8_t> data) : data_(std::move(data)) {}

  std::size_t size() const noexcept { return data_.size(); }
  bool empty() const noexcept { return data_.empty(); }
  const std::uint8_t* data() const noexcept { return data_.data(); }
  ByteView view() const noexcept { return ByteView(data_.data(), data_.size()); }
  operator ByteView() const noexcept { return view(); }

  const std::vector<std::uint8_t>& as_vector() const& noexcept { return data_; }
  std::vector<std::uint8_t> as_vector() && noexcept { return std::move(data_); }

 private:
  std::vector<std::uint8_t> data_;
};

}  // namespace zenoh::inline kq
