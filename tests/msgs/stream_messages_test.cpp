#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "msgs/basic_stream_data.hpp"
#include "msgs/extra_stream_data.hpp"
#include "msgs/held_storage.hpp"
#include "tests/msgs/allocation_probe.hpp"
#include "tests/msgs/wire_testing.hpp"

namespace {

using namespace korvel::zenoh_msgs::quor_msg;
using Bytes = std::vector<std::uint8_t>;

template <class T>
T Decode(const Bytes& payload) {
  return zenoh::ext::deserialize<T>(zenoh::ByteView(payload));
}

// Returns the failure message of decoding `payload` as T, or "decoded" if it decoded.
template <class T>
std::string DecodeFailure(const Bytes& payload) {
  try {
    (void)Decode<T>(payload);
    return "decoded";
  } catch (const zenoh::ZException& e) {
    EXPECT_EQ(e.get_error_code(), zenoh::Z_EDESERIALIZE);
    return e.what();
  }
}

bool SafetyInput(std::size_t i) { return i % 3 == 0; }
bool DigitalInput(std::size_t i) { return i % 4 == 1; }
bool DigitalOutput(std::size_t i) { return i == 19; }

// A basic message with no groups and all lists empty, written out by hand: 78 bytes.
Bytes EmptyBasicPayload() {
  Bytes p = {0x02, 0x01, 0xFD, 0xFF, 0x01, 0x00};  // state 258, board -3, estop, enabling
  p.push_back(8);
  for (std::size_t i = 0; i < 8; ++i) p.push_back(SafetyInput(i));
  p.push_back(20);
  for (std::size_t i = 0; i < 20; ++i) p.push_back(DigitalInput(i));
  p.push_back(20);
  for (std::size_t i = 0; i < 20; ++i) p.push_back(DigitalOutput(i));
  p.insert(p.end(), 1 + 11 + 1, 0x00);  // indices, eleven joint lists, cartesian entries
  p.insert(p.end(), {0xFB, 0xFF, 0xFF, 0xFF, 0xEF, 0xBE, 0xAD, 0xDE});  // -5, 0xDEADBEEF
  return p;
}
constexpr std::size_t kCartesianCountOffset = 69;

TEST(BasicStreamDecoding, EmptyMessageKeepsStatusAsSent) {
  const Bytes payload = EmptyBasicPayload();
  ASSERT_EQ(payload.size(), 78u);
  const auto msg = Decode<AllBasicStreamData>(payload);
  EXPECT_EQ(msg.system_state, 258);
  EXPECT_EQ(msg.safety_board_state, -3);
  EXPECT_TRUE(msg.estop_released);
  EXPECT_FALSE(msg.enabling_device_on);
  for (std::size_t i = 0; i < 8; ++i) EXPECT_EQ(msg.safety_inputs[i], SafetyInput(i)) << i;
  for (std::size_t i = 0; i < 20; ++i) {
    EXPECT_EQ(msg.digital_inputs[i], DigitalInput(i)) << i;
    EXPECT_EQ(msg.digital_outputs[i], DigitalOutput(i)) << i;
  }
  EXPECT_TRUE(kq_test::SameBits(msg.joint_data, BasicJointData{}));
  EXPECT_TRUE(msg.joint_group_indices.empty());
  EXPECT_TRUE(msg.cartesian_data.empty());
  EXPECT_EQ(msg.timestamp.first, -5);
  EXPECT_EQ(msg.timestamp.second, 0xDEADBEEFu);
}

// The worked extra example: group ALL, q_d [1], dq_d [0], tau_d [0], identity pose.
Bytes WorkedExtraPayload() {
  Bytes p = {0x01, 0x00, 0x00, 0x01, 0x00, 0x00, 0x80, 0x3F, 0x01, 0x00,
             0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x01, 0x07};
  p.insert(p.end(), 12, 0x00);
  p.insert(p.end(), {0x00, 0x00, 0x80, 0x3F});
  p.insert(p.end(), 12, 0x00);
  p.push_back(0x06);
  p.insert(p.end(), 24, 0x00);
  p.push_back(0x06);
  p.insert(p.end(), 24, 0x00);
  return p;
}

TEST(ExtraStreamDecoding, WorkedExampleDecodes) {
  const Bytes payload = WorkedExtraPayload();
  ASSERT_EQ(payload.size(), 98u);
  const auto msg = Decode<AllExtraStreamData>(payload);
  AllExtraStreamData want;
  want.joint_group_indices = {0};
  want.joint_data = {{1.0f}, {0.0f}, {0.0f}};
  want.cartesian_data.resize(1);
  want.cartesian_data[0].tcp_pose_d = {0, 0, 0, 1, 0, 0, 0};
  EXPECT_EQ(kq_test::Flatten(msg), kq_test::Flatten(want));
  EXPECT_TRUE(Decode<AllExtraStreamData>({0, 0, 0, 0, 0}).cartesian_data.empty());
}

TEST(StreamDecoding, TrailingByteFailsTheWholeMessage) {
  Bytes basic = EmptyBasicPayload();
  basic.push_back(0x00);
  EXPECT_EQ(DecodeFailure<AllBasicStreamData>(basic), zenoh::ext::kTrailingBytes);
  Bytes extra = WorkedExtraPayload();
  extra.push_back(0x00);
  EXPECT_EQ(DecodeFailure<AllExtraStreamData>(extra), zenoh::ext::kTrailingBytes);
}

// One group with one contact entry: every fixed array of the basic message occurs.
AllBasicStreamData OneGroupBasic() {
  AllBasicStreamData m;
  m.joint_group_indices = {0};
  m.joint_data.contact_forces = {{1.0f, 2.0f, 3.0f}};
  m.cartesian_data.resize(1);
  auto& c = m.cartesian_data[0];
  c.tcp_pose = {0.1f, 0.2f, 0.3f, 1.0f, 0.0f, 0.0f, 0.0f};
  c.ignored_6 = {9, 9, 9, 9, 9, 9};
  c.raw_ft_sensor = {1, 2, 3, 4, 5, 6};
  m.timestamp = {12, 34};
  return m;
}

struct FixedArraySite {
  const char* name;
  std::size_t prefix_offset;
  std::size_t element_size;
  std::size_t length;
};

// Offsets in OneGroupBasic's 276-byte payload; each is checked against its prefix byte.
constexpr FixedArraySite kBasicSites[] = {
    {"safety_inputs", 6, 1, 8},     {"digital_inputs", 15, 1, 20},
    {"digital_outputs", 36, 1, 20}, {"contact_forces[0]", 70, 4, 3},
    {"flange_pose", 85, 4, 7},      {"tcp_pose", 114, 4, 7},
    {"tcp_twist", 143, 4, 6},       {"tcp_wrench_local", 168, 4, 6},
    {"ignored_6", 193, 4, 6},       {"raw_tcp_wrench_local", 218, 4, 6},
    {"raw_ft_sensor", 243, 4, 6},
};
constexpr FixedArraySite kExtraSites[] = {
    {"tcp_pose_d", 19, 4, 7}, {"tcp_twist_d", 48, 4, 6}, {"tcp_wrench_d", 73, 4, 6}};

// Announces one element fewer or more; optionally makes the elements that follow match
// the announcement, which must not rescue the payload either.
Bytes Reannounce(Bytes payload, const FixedArraySite& site, int delta, bool match_data) {
  payload[site.prefix_offset] = static_cast<std::uint8_t>(site.length + delta);
  const auto data = payload.begin() + static_cast<std::ptrdiff_t>(site.prefix_offset + 1);
  if (match_data && delta < 0) payload.erase(data, data + site.element_size);
  if (match_data && delta > 0) payload.insert(data, site.element_size, 0x00);
  return payload;
}

template <class T, std::size_t N>
void ExpectFixedArraysInsistOnSize(const Bytes& good, const FixedArraySite (&sites)[N],
                                   bool last_entry_has_no_slack) {
  ASSERT_EQ(DecodeFailure<T>(good), "decoded");
  for (const auto& site : sites) {
    ASSERT_EQ(good.at(site.prefix_offset), site.length) << site.name << ": offset is stale";
    for (int delta : {-1, +1}) {
      for (bool match_data : {false, true}) {
        const std::string failure = DecodeFailure<T>(Reannounce(good, site, delta, match_data));
        // With nothing after the last entry, a shortened entry is refused earlier by the
        // entry-count bound: the entries announced no longer fit in the bytes left.
        if (last_entry_has_no_slack && delta < 0 && match_data) {
          EXPECT_EQ(failure, zenoh::ext::kDeserializationFailure) << site.name;
          continue;
        }
        EXPECT_EQ(failure, zenoh::ext::kIncorrectSequenceSize)
            << site.name << " announced " << site.length + delta
            << (match_data ? " with matching data" : "");
      }
    }
  }
}

TEST(StreamDecoding, FixedArraysInsistOnTheirExactSize) {
  const Bytes basic = kq_test::EncodeRecord(OneGroupBasic());
  ASSERT_EQ(basic.size(), 276u);
  ExpectFixedArraysInsistOnSize<AllBasicStreamData>(basic, kBasicSites, false);
  ExpectFixedArraysInsistOnSize<AllExtraStreamData>(WorkedExtraPayload(), kExtraSites, true);
}

TEST(StreamDecoding, FlagOtherThanZeroOrOneIsRefused) {
  Bytes payload = EmptyBasicPayload();
  payload[15 + 1 + 4] = 0x02;  // digital_inputs[4]
  EXPECT_EQ(DecodeFailure<AllBasicStreamData>(payload), zenoh::ext::kDeserializationFailure);
  payload = EmptyBasicPayload();
  payload[4] = 0xFF;  // estop_released
  EXPECT_EQ(DecodeFailure<AllBasicStreamData>(payload), zenoh::ext::kDeserializationFailure);
}

TEST(BasicStreamDecoding, MissingIgnoredSixShiftsAndFails) {
  Bytes payload = kq_test::EncodeRecord(OneGroupBasic());
  const auto ignored = payload.begin() + 193;
  ASSERT_EQ(*ignored, 6);
  payload.erase(ignored, ignored + 25);
  EXPECT_NE(DecodeFailure<AllBasicStreamData>(payload), "decoded");
}

TEST(StreamDecoding, EveryTruncationIsRejected) {
  const Bytes basic = kq_test::EncodeRecord(OneGroupBasic());
  for (std::size_t size = 0; size < basic.size(); ++size) {
    EXPECT_NE(DecodeFailure<AllBasicStreamData>(Bytes(basic.begin(), basic.begin() + size)),
              "decoded")
        << "basic cut to " << size;
  }
  const Bytes extra = WorkedExtraPayload();
  for (std::size_t size = 0; size < extra.size(); ++size) {
    EXPECT_NE(DecodeFailure<AllExtraStreamData>(Bytes(extra.begin(), extra.begin() + size)),
              "decoded")
        << "extra cut to " << size;
  }
}

// Consistency between lists and known group numbers is for the consumers to judge.
TEST(StreamDecoding, UncheckedShapesDecodeAsSent) {
  AllBasicStreamData basic = OneGroupBasic();
  basic.joint_group_indices = {0, 7};  // two indices, one entry; 7 names no group
  basic.joint_data.q = {1, 2, 3};
  basic.joint_data.dq = {4, 5, 6, 7, 8};
  basic.joint_data.temperature = {30};
  basic.joint_data.contact_positions = {{1, 1, 1}, {2, 2, 2}};
  EXPECT_TRUE(kq_test::SameBits(Decode<AllBasicStreamData>(kq_test::EncodeRecord(basic)), basic));

  AllExtraStreamData extra;
  extra.joint_group_indices = {7};
  extra.joint_data.q_d = {1, 2};
  extra.joint_data.tau_d = {3};
  extra.cartesian_data.resize(2);
  extra.cartesian_data[1].tcp_wrench_d = {1, 2, 3, 4, 5, 6};
  EXPECT_TRUE(kq_test::SameBits(Decode<AllExtraStreamData>(kq_test::EncodeRecord(extra)), extra));
}

TEST(StreamDecoding, HostileCountsFailWithoutReserving) {
  const Bytes count_2_40 = {0x80, 0x80, 0x80, 0x80, 0x80, 0x20};
  struct Case {
    const char* name;
    bool basic;
    Bytes payload;
  };
  std::vector<Case> cases;
  {
    Bytes p = count_2_40;  // joint_group_indices, in a 20-byte payload
    p.resize(20, 0x00);
    cases.push_back({"extra indices 2^40", false, p});
    p = {0x00};  // then q_d
    p.insert(p.end(), count_2_40.begin(), count_2_40.end());
    p.resize(20, 0x00);
    cases.push_back({"extra q_d 2^40", false, p});
    // 100 entries of at least 79 bytes cannot fit in 100 bytes, although 100 bytes can.
    p = {0x00, 0x00, 0x00, 0x00, 100};
    p.resize(105, 0x00);
    cases.push_back({"extra 100 cartesian entries", false, p});
  }
  {
    Bytes p = EmptyBasicPayload();
    p.erase(p.begin() + kCartesianCountOffset);
    p.insert(p.begin() + kCartesianCountOffset, count_2_40.begin(), count_2_40.end());
    cases.push_back({"basic cartesian 2^40", true, p});
    p = EmptyBasicPayload();
    p[kCartesianCountOffset] = 100;
    p.insert(p.end(), 100, 0x00);
    cases.push_back({"basic 100 cartesian entries", true, p});
    p = EmptyBasicPayload();
    p.erase(p.begin() + 67);  // contact_forces
    p.insert(p.begin() + 67, count_2_40.begin(), count_2_40.end());
    cases.push_back({"basic contact_forces 2^40", true, p});
  }
  for (const auto& c : cases) {
    kq_test::AllocationProbe probe;
    const std::string failure = c.basic ? DecodeFailure<AllBasicStreamData>(c.payload)
                                        : DecodeFailure<AllExtraStreamData>(c.payload);
    EXPECT_EQ(failure, zenoh::ext::kDeserializationFailure) << c.name;
    EXPECT_LT(probe.largest(), 4096u) << c.name << ": the announced count was reserved";
  }
}

}  // namespace

namespace {

using korvel::zenoh_msgs::quor_msg::AllBasicStreamData;
using korvel::zenoh_msgs::quor_msg::CopyTrimmed;
using korvel::zenoh_msgs::quor_msg::HeldBytes;
using korvel::zenoh_msgs::quor_msg::kKeptStorageBytes;
using korvel::zenoh_msgs::quor_msg::TrimStorage;

// One huge sample must not keep its memory in the buffers it passed through; ordinary
// samples keep their storage for the next one.
TEST(HeldStorage, HugeStorageIsGivenBackOrdinaryStorageKept) {
  AllBasicStreamData huge;
  huge.joint_data.q.assign(1'000'000, 1.0F);
  AllBasicStreamData small;
  small.joint_data.q.assign(21, 2.0F);

  AllBasicStreamData cache = huge;
  CopyTrimmed(small, cache);
  EXPECT_EQ(cache.joint_data.q, small.joint_data.q);
  EXPECT_LT(HeldBytes(cache), kKeptStorageBytes);

  AllBasicStreamData kept;
  kept.joint_data.q.reserve(1000);
  const float* storage = kept.joint_data.q.data();
  CopyTrimmed(small, kept);
  EXPECT_EQ(kept.joint_data.q.data(), storage) << "ordinary storage was reallocated";

  AllBasicStreamData scratch = huge;
  TrimStorage(scratch);
  EXPECT_EQ(HeldBytes(scratch), 0u);
  scratch = small;
  TrimStorage(scratch);
  EXPECT_EQ(scratch.joint_data.q, small.joint_data.q);
}

}  // namespace
