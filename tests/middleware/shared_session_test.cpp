#include "middleware/shared_session.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <vector>

#include "middleware/nodes.hpp"

namespace {

using korvel::zenoh_mdw::GetSharedZenohSession;

TEST(SharedSession, CallersShareOneSessionWhileItIsHeld) {
  auto first = GetSharedZenohSession();
  auto second = GetSharedZenohSession();
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first.get(), second.get());
  korvel::zenoh_mdw::ReliableNode reliable{GetSharedZenohSession()};
  korvel::zenoh_mdw::RealtimeNode realtime{GetSharedZenohSession()};
  EXPECT_EQ(reliable.session, realtime.session);
  EXPECT_EQ(reliable.session, first);
}

TEST(SharedSession, ACallAfterEveryHolderLetGoOpensANewSession) {
  auto first = GetSharedZenohSession();
  std::weak_ptr<zenoh::Session> watch = first;
  first.reset();
  // The session is closed with its last holder, not kept by the cache.
  EXPECT_TRUE(watch.expired());
  auto again = GetSharedZenohSession();
  ASSERT_NE(again, nullptr);
  EXPECT_TRUE(again->valid());
  EXPECT_TRUE(watch.expired());
}

TEST(SharedSession, ConcurrentFirstCallsOpenOnlyOneSession) {
  std::vector<std::shared_ptr<zenoh::Session>> got(6);
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < got.size(); ++i) {
    threads.emplace_back([&, i] { got[i] = GetSharedZenohSession(); });
  }
  for (auto& t : threads) t.join();
  for (const auto& s : got) EXPECT_EQ(s.get(), got[0].get());
}

}  // namespace
