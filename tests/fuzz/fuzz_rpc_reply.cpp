// libFuzzer target: decoding of RPCReply payloads. Besides the round trip, every string of
// an accepted reply must be UTF-8, checked here by decoding code points the plain way (not
// with the decoder's own validator): zenoh refuses any other text.
#include <cstddef>
#include <cstdint>
#include <string>

#include "tests/fuzz/round_trip.hpp"

namespace {

// Decodes one code point after another; false at anything that is not the shortest form of
// a scalar value (U+0000..U+10FFFF without the surrogates).
bool ReferenceUtf8(const std::string& text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t length = 0;
    std::uint32_t cp = 0;
    if (lead < 0x80) {
      length = 1;
      cp = lead;
    } else if ((lead >> 5) == 0x6) {
      length = 2;
      cp = lead & 0x1F;
    } else if ((lead >> 4) == 0xE) {
      length = 3;
      cp = lead & 0x0F;
    } else if ((lead >> 3) == 0x1E) {
      length = 4;
      cp = lead & 0x07;
    } else {
      return false;
    }
    if (i + length > text.size()) return false;
    for (std::size_t k = 1; k < length; ++k) {
      const auto c = static_cast<unsigned char>(text[i + k]);
      if ((c >> 6) != 0x2) return false;
      cp = (cp << 6) | (c & 0x3F);
    }
    static constexpr std::uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kSmallest[length] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += length;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using korvel::zenoh_msgs::quor_msg::RPCReply;
  kq_fuzz::CheckRoundTrip<RPCReply>(data, size);
  zenoh::ZResult err = zenoh::Z_OK;
  const RPCReply reply = zenoh::ext::deserialize<RPCReply>(zenoh::ByteView(data, size), &err);
  if (err != zenoh::Z_OK) return 0;
  for (const std::string& text : reply.string_container) {
    if (!ReferenceUtf8(text)) kq_fuzz::Violated("accepted a string that is not UTF-8");
  }
  return 0;
}
