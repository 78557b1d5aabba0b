// Decodes payloads that eclipse-zenoh's serializer wrote (tests/msgs/wire_gen.py) and
// compares every field, floats bit for bit, with the values the generator put in.
// The payload directory comes from KQ_CROSSCHECK_DIR; run_crosscheck.sh sets it.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/msgs/wire_testing.hpp"

namespace {

using namespace korvel::zenoh_msgs::quor_msg;

std::string Directory() {
  const char* dir = std::getenv("KQ_CROSSCHECK_DIR");
  return dir ? dir : "";
}

std::vector<std::vector<std::uint8_t>> ReadPayloads(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  const std::vector<std::uint8_t> all((std::istreambuf_iterator<char>(in)),
                                      std::istreambuf_iterator<char>());
  std::vector<std::vector<std::uint8_t>> payloads;
  std::size_t at = 0;
  while (at + 4 <= all.size()) {
    std::uint32_t size = 0;
    std::memcpy(&size, all.data() + at, 4);
    at += 4;
    if (size > all.size() - at) break;
    payloads.emplace_back(all.begin() + at, all.begin() + at + size);
    at += size;
  }
  EXPECT_EQ(at, all.size()) << path << " ends inside a payload";
  return payloads;
}

std::vector<std::vector<std::string>> ReadExpected(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::vector<std::string>> messages;
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("#message ", 0) == 0) {
      messages.emplace_back();
    } else if (!messages.empty()) {
      messages.back().push_back(line);
    }
  }
  return messages;
}

template <class T>
void CrossCheck(const std::string& name) {
  const std::string dir = Directory();
  ASSERT_FALSE(dir.empty()) << "KQ_CROSSCHECK_DIR is not set";
  const auto payloads = ReadPayloads(dir + "/" + name + ".bin");
  const auto expected = ReadExpected(dir + "/" + name + ".txt");
  ASSERT_EQ(payloads.size(), expected.size()) << name;
  ASSERT_GE(payloads.size(), 200u) << name << ": too few messages to mean anything";

  std::size_t mismatched = 0;
  std::size_t refused = 0;
  for (std::size_t i = 0; i < payloads.size(); ++i) {
    // eclipse-zenoh refused this payload: ours must refuse it too.
    const bool zenoh_refused = expected[i] == std::vector<std::string>{"REFUSED"};
    refused += zenoh_refused ? 1 : 0;
    std::vector<std::string> got;
    try {
      got = kq_test::Flatten(zenoh::ext::deserialize<T>(zenoh::ByteView(payloads[i])));
    } catch (const zenoh::ZException& e) {
      if (zenoh_refused) continue;
      ADD_FAILURE() << name << " message " << i << " (" << payloads[i].size()
                    << " bytes) did not decode: " << e.what();
      ++mismatched;
      continue;
    }
    if (zenoh_refused) {
      ADD_FAILURE() << name << " message " << i << " (" << payloads[i].size()
                    << " bytes) decoded, but eclipse-zenoh refuses it";
      ++mismatched;
      continue;
    }
    if (got == expected[i]) continue;
    ++mismatched;
    std::size_t line = 0;
    while (line < got.size() && line < expected[i].size() && got[line] == expected[i][line]) {
      ++line;
    }
    ADD_FAILURE() << name << " message " << i << " differs at line " << line
                  << "\n  decoded:  " << (line < got.size() ? got[line] : "<end>")
                  << "\n  expected: " << (line < expected[i].size() ? expected[i][line] : "<end>");
    if (mismatched >= 5) break;  // the first few say enough
  }
  EXPECT_EQ(mismatched, 0u);
  // Only text can make eclipse-zenoh refuse a generated payload, and the generator puts
  // bytes that are not UTF-8 into some of the strings: both verdicts must have occurred.
  if (name == "rpc_reply") {
    EXPECT_GT(refused, 0u) << "no payload with text that is not UTF-8 was generated";
    EXPECT_LT(refused, payloads.size() / 2) << "too few payloads decode to compare values";
  } else {
    EXPECT_EQ(refused, 0u) << name << " carries no text; nothing should be refused";
  }
}

TEST(WireCrossCheck, BasicStreamData) { CrossCheck<AllBasicStreamData>("basic"); }
TEST(WireCrossCheck, ExtraStreamData) { CrossCheck<AllExtraStreamData>("extra"); }
TEST(WireCrossCheck, RpcReply) { CrossCheck<RPCReply>("rpc_reply"); }

}  // namespace
