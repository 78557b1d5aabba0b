#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <vector>

#include "capture/chunked_take.hpp"
#include "capture/sample_ring.hpp"

namespace korvel::quor_impl {
namespace {

using Extra = zenoh_msgs::quor_msg::AllExtraStreamData;
using Ring = SampleRing<Extra>;

void PushPayload(Ring& ring, std::size_t bytes) {
  const std::vector<std::uint8_t> payload(bytes, 0x5a);
  ring.Push(SampleTime{}, zenoh::ByteView(payload.data(), payload.size()), nullptr, {0, 0});
}

// The byte budget holds after every push, however large the newest sample: only the newest
// one may take the ring past it.
TEST(SampleRingTest, OneHugeSampleDropsAsManyOldOnesAsTheBudgetNeeds) {
  constexpr std::size_t kBudget = 64 * 1024;
  Ring ring(1000, true, kBudget);
  for (int i = 0; i < 300; ++i) PushPayload(ring, 100);
  ASSERT_EQ(ring.size(), 300u);
  PushPayload(ring, 8 << 20);
  EXPECT_EQ(ring.size(), 1u);
  EXPECT_EQ(ring.dropped(), 300u);
  PushPayload(ring, 100);  // the huge one goes as soon as it is no longer the newest
  EXPECT_EQ(ring.size(), 1u);
  EXPECT_LE(ring.held_bytes(), kBudget);
}

// A drain owes the reader what the rings held when it began; the byte budget may drop some
// of that between two chunks. The drain must end all the same, with what is still there.
TEST(ChunkedTakeTest, EndsWhenTheBudgetDropsOwedSamplesBetweenChunks) {
  Ring ring(1000, true, 64 * 1024);
  for (int i = 0; i < 300; ++i) PushPayload(ring, 100);
  std::vector<CapturedSample<Extra>> out;
  RingTake take(ring, out);
  int rounds = 0;
  TakeInChunks(
      256,
      [&] {
        // Bounded, so that a drain that never ends fails here instead of hanging the suite.
        if (++rounds > 10) throw std::runtime_error("the drain does not end");
        if (rounds == 1) PushPayload(ring, 8 << 20);
      },
      take);
  EXPECT_EQ(rounds, 1);
  EXPECT_EQ(take.used(), 257u);  // one chunk, then the huge sample that replaced the rest
  EXPECT_EQ(ring.size(), 0u);
}

TEST(ChunkedTakeTest, TakesOnlyWhatWasThereAndEveryRingToTheEnd) {
  Ring basic(2000, false, 1 << 30);
  Ring extra(2000, false, 1 << 30);
  for (int i = 0; i < 600; ++i) PushPayload(basic, 10);
  for (int i = 0; i < 10; ++i) PushPayload(extra, 10);
  std::vector<CapturedSample<Extra>> basic_out, extra_out;
  RingTake b(basic, basic_out);
  RingTake e(extra, extra_out);
  int rounds = 0;
  TakeInChunks(
      256,
      [&] {
        if (++rounds > 10) throw std::runtime_error("the drain does not end");
        PushPayload(basic, 10);  // a stream that keeps delivering
      },
      b, e);
  EXPECT_EQ(b.used(), 600u);
  EXPECT_EQ(e.used(), 10u);
  EXPECT_EQ(rounds, 2);
  EXPECT_EQ(basic.size(), 2u);
  for (std::size_t i = 0; i < b.used(); ++i) EXPECT_EQ(basic_out[i].seq, i);
}

}  // namespace
}  // namespace korvel::quor_impl
