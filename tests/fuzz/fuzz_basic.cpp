// libFuzzer target: decoding of AllBasicStreamData payloads.
#include "tests/fuzz/round_trip.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  kq_fuzz::CheckRoundTrip<korvel::zenoh_msgs::quor_msg::AllBasicStreamData>(data, size);
  return 0;
}
