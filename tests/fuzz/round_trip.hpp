#pragma once
// The property every decoder fuzz target checks: a payload either fails with a decoding
// error, or decodes to a value that encodes back to the same bytes. Counts may come in
// an over-long LEB128 form that encodes back shorter; then the shorter encoding must
// decode to the very same value. The result-sink path must agree with the throwing one.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "tests/msgs/wire_testing.hpp"

namespace kq_fuzz {

[[noreturn]] inline void Violated(const char* what) {
  std::fprintf(stderr, "round-trip property violated: %s\n", what);
  std::abort();
}

template <class T>
void CheckRoundTrip(const std::uint8_t* data, std::size_t size) {
  const zenoh::ByteView input(data, size);

  zenoh::ZResult err = zenoh::Z_OK;
  const T quiet = zenoh::ext::deserialize<T>(input, &err);
  T value;
  try {
    value = zenoh::ext::deserialize<T>(input);
  } catch (const zenoh::ZException& e) {
    if (e.get_error_code() != zenoh::Z_EDESERIALIZE) Violated("unexpected error code");
    if (err != zenoh::Z_EDESERIALIZE) Violated("result sink missed a failure");
    return;
  }
  if (err != zenoh::Z_OK) Violated("result sink reported a failure that was not thrown");
  if (!kq_test::SameBits(quiet, value)) Violated("result-sink decode differs");

  const std::vector<std::uint8_t> again = kq_test::EncodeRecord(value);
  if (again.size() > size) Violated("encoding grew");
  if (again.size() == size) {
    if (std::memcmp(again.data(), data, size) != 0) Violated("encoding differs from input");
    return;
  }
  const T reread = zenoh::ext::deserialize<T>(zenoh::ByteView(again));
  if (!kq_test::SameBits(reread, value)) Violated("canonical re-encoding decodes differently");
}

}  // namespace kq_fuzz
