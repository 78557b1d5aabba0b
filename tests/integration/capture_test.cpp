// The capture under concurrency, in C++ so that the sanitizer trees run it too: zenoh's
// threads filling the rings while two threads drain, the client destroyed under a capture
// that still drains, captures closed while samples arrive.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include "capture/capture.hpp"
#include "capture/stream_status.hpp"
#include "client/client.hpp"
#include "tests/support/sim.hpp"

namespace {

using korvel::quor::Capture;
using korvel::quor::Client;
using korvel::testing::StartSim;
using korvel::testing::UniqueSerial;
using std::chrono::milliseconds;

TEST(CaptureConcurrency, TwoDrainersAndADestroyedClient) {
  const std::string serial = UniqueSerial("cap");
  auto sim = StartSim(serial, {.layout = "two-arm", .rate = 1000, .faults = {}});
  auto client = std::make_unique<Client>(serial, false);
  Capture capture(*client);
  std::atomic<bool> stop{false};
  std::atomic<std::size_t> rows{0};
  std::vector<std::thread> drainers;
  for (int i = 0; i < 2; ++i) {
    drainers.emplace_back([&] {
      while (!stop) {
        capture.Wait(milliseconds(20));
        const auto batch = capture.Drain();
        rows += batch.basic.rows + batch.extra.rows;
      }
    });
  }
  for (int i = 0; i < 20; ++i) {
    Capture brief(*client, {.capacity = 16});
    std::this_thread::sleep_for(milliseconds(10));
    brief.Close();
    (void)korvel::quor::GetStreamStatus(*client);
  }
  stop = true;
  for (auto& t : drainers) t.join();
  EXPECT_GT(rows.load(), 200u);

  // The client goes while the capture still holds samples: they stay drainable, then the
  // capture says the client is gone.
  std::this_thread::sleep_for(milliseconds(100));
  client.reset();
  EXPECT_FALSE(capture.Receiving());
  EXPECT_GT(capture.Drain().basic.rows, 0u);
  EXPECT_FALSE(capture.Wait(milliseconds(10)));
  try {
    (void)capture.Drain();
    ADD_FAILURE() << "drained after the client was gone";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "[korvel::quor::Capture] The client of this capture has been destroyed");
  }
}

}  // namespace
