#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "msgs/rpc_reply.hpp"
#include "msgs/rpc_request.hpp"
#include "tests/msgs/allocation_probe.hpp"
#include "tests/msgs/wire_testing.hpp"

namespace {

using korvel::zenoh_msgs::quor_msg::Encode;
using korvel::zenoh_msgs::quor_msg::RPCReply;
using korvel::zenoh_msgs::quor_msg::RPCRequest;
using Bytes = std::vector<std::uint8_t>;

RPCReply DecodeReply(const Bytes& payload) {
  return zenoh::ext::deserialize<RPCReply>(zenoh::ByteView(payload));
}

// Decoding must fail with exactly this message and the deserialization error code.
void ExpectReplyRejected(const Bytes& payload, const std::string& message,
                         const std::string& label) {
  try {
    (void)DecodeReply(payload);
    ADD_FAILURE() << label << ": decoded, expected \"" << message << "\"";
  } catch (const zenoh::ZException& e) {
    EXPECT_EQ(std::string(e.what()), message) << label;
    EXPECT_EQ(e.get_error_code(), zenoh::Z_EDESERIALIZE) << label;
  }
}

TEST(RpcRequestEncoding, MatchesTheWorkedEncodings) {
  std::vector<std::uint16_t> two_hundred(200, 1);
  std::vector<std::uint16_t> three_hundred(300, 2);
  struct Case {
    const char* name;
    RPCRequest request;
    Bytes prefix;  // the payload starts with these bytes
    std::size_t size;
  };
  const Case cases[] = {
      {"start id and dof",
       {10, {0, 2, 3, 4, 5}},
       {0x0A, 0x00, 0x05, 0x00, 0x00, 0x02, 0x00, 0x03, 0x00, 0x04, 0x00, 0x05, 0x00},
       13},
      {"probe", {}, {0x00, 0x00, 0x00}, 3},
      {"200 groups", {10, two_hundred}, {0x0A, 0x00, 0xC8, 0x01, 0x01, 0x00}, 2 + 2 + 400},
      {"300 groups", {7, three_hundred}, {0x07, 0x00, 0xAC, 0x02, 0x02, 0x00}, 2 + 2 + 600},
  };
  for (const auto& c : cases) {
    const Bytes payload = Encode(c.request).as_vector();
    ASSERT_EQ(payload.size(), c.size) << c.name;
    EXPECT_EQ(Bytes(payload.begin(), payload.begin() + c.prefix.size()), c.prefix) << c.name;
  }
}

TEST(RpcReplyDecoding, ShortestReplyIsAllEmpty) {
  const RPCReply reply = DecodeReply({0x04, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00});
  EXPECT_EQ(reply.request_id, 4);
  EXPECT_TRUE(reply.success);
  EXPECT_TRUE(reply.joint_groups.empty());
  EXPECT_TRUE(reply.int_container.empty());
  EXPECT_TRUE(reply.string_container.empty());
  EXPECT_TRUE(reply.float_container.empty());
  EXPECT_TRUE(reply.float2d_container.empty());
}

// Every container filled, written out by hand so that the field order is checked against
// the wire layout rather than against another piece of our own code.
const Bytes kFullReply = {
    0x0A, 0x00,                                                  // request_id 10
    0x01,                                                        // success
    0x02, 0x00, 0x00, 0x05, 0x00,                                // joint_groups [0, 5]
    0x02, 0x07, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF,        // int_container [7, -1]
    0x03, 0x02, 'v',  '2',  0x00, 0x03, 0xE2, 0x98, 0x83,        // strings ["v2", "", snowman]
    0x01, 0x00, 0x00, 0xC0, 0x3F,                                // float_container [1.5]
    0x02, 0x02, 0x00, 0x00, 0x80, 0xBF, 0x00, 0x00, 0x00, 0x80,  // float2d [[-1, -0],
    0x00,                                                        //          []]
};

TEST(RpcReplyDecoding, FullReplyDecodesFieldByField) {
  const RPCReply reply = DecodeReply(kFullReply);
  EXPECT_EQ(reply.request_id, 10);
  EXPECT_TRUE(reply.success);
  EXPECT_EQ(reply.joint_groups, (std::vector<std::uint16_t>{0, 5}));
  EXPECT_EQ(reply.int_container, (std::vector<std::int32_t>{7, -1}));
  // The empty string is an element of its own, not dropped.
  EXPECT_EQ(reply.string_container, (std::vector<std::string>{"v2", "", "\xE2\x98\x83"}));
  EXPECT_EQ(kq_test::Flatten(reply.float_container), kq_test::Flatten(std::vector<float>{1.5f}));
  ASSERT_EQ(reply.float2d_container.size(), 2u);
  EXPECT_EQ(kq_test::Flatten(reply.float2d_container[0]),
            kq_test::Flatten(std::vector<float>{-1.0f, -0.0f}));
  EXPECT_TRUE(reply.float2d_container[1].empty());
}

TEST(RpcReplyDecoding, FloatBitPatternsSurvive) {
  // Signalling NaN, NaN with every payload bit, smallest subnormal, -infinity.
  const Bytes payload = {0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x04, 0x01, 0x00, 0x80, 0x7F, 0xFF,
                         0xFF, 0xFF, 0xFF, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x80, 0xFF, 0x00};
  const RPCReply reply = DecodeReply(payload);
  EXPECT_EQ(kq_test::Flatten(reply.float_container),
            (std::vector<std::string>{" 4 7f800001 ffffffff 00000001 ff800000"}));
}

TEST(RpcReplyDecoding, OneByteTooLongIsRejected) {
  Bytes payload = kFullReply;
  payload.push_back(0x00);
  ExpectReplyRejected(payload, zenoh::ext::kTrailingBytes, "full reply + 1 byte");
  ExpectReplyRejected({0, 0, 0, 0, 0, 0, 0, 0, 0}, zenoh::ext::kTrailingBytes,
                      "empty reply + 1 byte");
}

TEST(RpcReplyDecoding, EveryTruncationIsRejected) {
  // Cuts land inside the id, a count, a string, a float and an inner vector.
  for (std::size_t size = 0; size < kFullReply.size(); ++size) {
    const Bytes cut(kFullReply.begin(), kFullReply.begin() + size);
    EXPECT_THROW((void)DecodeReply(cut), zenoh::ZException) << "cut to " << size << " bytes";
  }
}

TEST(RpcReplyDecoding, ResultSinkReportsInsteadOfThrowing) {
  Bytes payload = kFullReply;
  payload.push_back(0x00);
  zenoh::ZResult err = zenoh::Z_OK;
  EXPECT_NO_THROW((void)zenoh::ext::deserialize<RPCReply>(zenoh::ByteView(payload), &err));
  EXPECT_EQ(err, zenoh::Z_EDESERIALIZE);
}

// One string of the given bytes in string_container, every other container empty.
Bytes ReplyWithText(const Bytes& text) {
  Bytes payload = {0x04,
                   0x00,
                   0x01,
                   0x00,
                   0x00,
                   static_cast<std::uint8_t>(1),
                   static_cast<std::uint8_t>(text.size())};
  payload.insert(payload.end(), text.begin(), text.end());
  payload.insert(payload.end(), {0x00, 0x00});
  return payload;
}

TEST(RpcReplyDecoding, TextMustBeUtf8) {
  struct Case {
    const char* name;
    Bytes text;
    bool valid;
  };
  const Case cases[] = {
      {"ASCII longer than one word", Bytes(23, 'a'), true},
      {"two-byte e-acute", {0xC3, 0xA9}, true},
      {"three-byte snowman after ASCII",
       {'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 0xE2, 0x98, 0x83},
       true},
      {"four-byte emoji", {0xF0, 0x9F, 0x98, 0x80}, true},
      {"highest code point U+10FFFF", {0xF4, 0x8F, 0xBF, 0xBF}, true},
      {"last before the surrogates U+D7FF", {0xED, 0x9F, 0xBF}, true},
      {"0xFF after eight ASCII bytes", {'v', '2', '.', '1', ' ', ' ', ' ', ' ', 0xFF}, false},
      {"lone continuation byte", {0x80}, false},
      {"0xC0 overlong slash", {0xC0, 0xAF}, false},
      {"0xC1 overlong", {0xC1, 0xBF}, false},
      {"three-byte overlong", {0xE0, 0x80, 0xAF}, false},
      {"four-byte overlong", {0xF0, 0x80, 0x80, 0xAF}, false},
      {"surrogate U+D800", {0xED, 0xA0, 0x80}, false},
      {"surrogate U+DFFF", {0xED, 0xBF, 0xBF}, false},
      {"above U+10FFFF", {0xF4, 0x90, 0x80, 0x80}, false},
      {"lead byte 0xF5", {0xF5, 0x80, 0x80, 0x80}, false},
      {"truncated two-byte at the end", {'a', 0xC3}, false},
      {"truncated three-byte at the end", {0xE2, 0x98}, false},
      {"truncated four-byte at the end", {0xF0, 0x9F, 0x98}, false},
      {"continuation replaced by ASCII", {0xE2, 'a', 0x83}, false},
  };
  for (const auto& c : cases) {
    const Bytes payload = ReplyWithText(c.text);
    if (c.valid) {
      const RPCReply reply = DecodeReply(payload);
      ASSERT_EQ(reply.string_container.size(), 1u) << c.name;
      EXPECT_EQ(Bytes(reply.string_container[0].begin(), reply.string_container[0].end()), c.text)
          << c.name;
    } else {
      ExpectReplyRejected(payload, zenoh::ext::kDeserializationFailure, c.name);
    }
  }
}

TEST(RpcReplyDecoding, MultiByteCountsDecode) {
  RPCReply sent;
  sent.request_id = 300;
  sent.joint_groups.assign(130, 6);
  for (int i = 0; i < 300; ++i) sent.float_container.push_back(0.25f * static_cast<float>(i));
  sent.string_container = {std::string(200, 'x'), ""};
  sent.int_container = {-7};
  const Bytes payload = kq_test::EncodeRecord(sent);
  // 130 is written as 82 01 right after the id and the flag.
  ASSERT_GE(payload.size(), 5u);
  EXPECT_EQ(payload[3], 0x82);
  EXPECT_EQ(payload[4], 0x01);
  const RPCReply got = DecodeReply(payload);
  EXPECT_TRUE(kq_test::SameBits(got, sent));
}

TEST(RpcReplyDecoding, MalformedCountsAreRejected) {
  // 2^40 as LEB128, then padding: a count no 20-byte payload can satisfy.
  const Bytes huge = {0x80, 0x80, 0x80, 0x80, 0x80, 0x20};
  const Bytes too_long = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x02};
  struct Case {
    const char* name;
    std::size_t empty_containers_before;  // zero counts before the hostile one
    std::size_t extra_prefix;             // for the string case: one element announced first
    Bytes count;
    const char* message;
  };
  const Case cases[] = {
      {"joint_groups count 2^40", 0, 0, huge, zenoh::ext::kDeserializationFailure},
      {"int_container count 2^40", 1, 0, huge, zenoh::ext::kDeserializationFailure},
      {"string_container count 2^40", 2, 0, huge, zenoh::ext::kDeserializationFailure},
      {"string length 2^40", 2, 1, huge, zenoh::ext::kDeserializationFailure},
      {"float_container count 2^40", 3, 0, huge, zenoh::ext::kDeserializationFailure},
      {"float2d_container count 2^40", 4, 0, huge, zenoh::ext::kDeserializationFailure},
      {"inner float vector count 2^40", 4, 1, huge, zenoh::ext::kDeserializationFailure},
      {"count wider than 64 bits", 0, 0, too_long, zenoh::ext::kSequenceLengthFailure},
  };
  for (const auto& c : cases) {
    Bytes payload = {0x01, 0x00, 0x01};
    payload.insert(payload.end(), c.empty_containers_before, 0x00);
    if (c.extra_prefix) payload.push_back(0x01);  // one element, whose own count follows
    payload.insert(payload.end(), c.count.begin(), c.count.end());
    payload.resize(std::max<std::size_t>(payload.size(), 20), 0x00);
    kq_test::AllocationProbe probe;
    ExpectReplyRejected(payload, c.message, c.name);
    EXPECT_LT(probe.largest(), 4096u) << c.name << ": the announced count was reserved";
  }
}

}  // namespace
