// The RPC client against the substitute controller across the private network.

#include "middleware/rpc_client.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "middleware/shared_session.hpp"
#include "msgs/rpc_reply.hpp"
#include "msgs/rpc_request.hpp"
#include "tests/support/robot_process.hpp"

namespace {

using korvel::testing::RobotProcess;
using korvel::zenoh_mdw::GetSharedZenohSession;
using korvel::zenoh_mdw::RpcClient;
using korvel::zenoh_msgs::quor_msg::RPCReply;
using korvel::zenoh_msgs::quor_msg::RPCRequest;
using Client = RpcClient<RPCRequest, RPCReply>;
using Clock = std::chrono::steady_clock;

std::unique_ptr<RobotProcess> StartRobot(const std::string& serial,
                                         const std::vector<std::string>& faults = {}) {
  std::vector<std::string> args = {KQ_VENV_PYTHON, "-m",     "korvel_sim", "--serial",
                                   serial,         "--rate", "50"};
  for (const auto& f : faults) {
    args.push_back("--fault");
    args.push_back(f);
  }
  return std::make_unique<RobotProcess>(args);
}

std::string RpcKey(const std::string& serial) { return "korvel/robot/" + serial + "/rpc"; }

RPCRequest Request(std::uint16_t id) {
  RPCRequest request;
  request.request_id = id;
  return request;
}

// The substitute needs a moment after READY before zenoh routes queries to it.
bool WaitUntilAnswering(Client& client, std::uint16_t id = 1) {
  for (int attempt = 0; attempt < 50; ++attempt) {
    RPCReply reply;
    if (client.SendRequestAndGetReply(Request(id), reply, 0.5)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return false;
}

struct ReplyCase {
  const char* fault;
  const char* wanted_version;  // what request 1 must return with this fault
};

// The version request's reply carries a text, so each case can tell which reply won.
TEST(RpcClient, TheFirstDecodableReplyWinsWhateverFollowsOrPrecedes) {
  const ReplyCase cases[] = {
      {"double_reply@1", "v2.1"},        // a second, different reply is discarded
      {"trailing_then_good@1", "v2.1"},  // an undecodable first reply is skipped
      {"good_then_trailing@1", "v2.1"},  // a later undecodable reply cannot displace it
      {"error_first@1", "v2.1"},         // error replies are ignored
  };
  auto session = GetSharedZenohSession();
  for (const auto& c : cases) {
    const std::string serial =
        std::string("RPC-") + std::to_string(::getpid()) + "x" + std::to_string(&c - cases);
    auto robot = StartRobot(serial, {c.fault});
    Client client(session, RpcKey(serial));
    ASSERT_TRUE(WaitUntilAnswering(client, 0)) << c.fault;
    for (int i = 0; i < 5; ++i) {
      RPCReply reply;
      ASSERT_TRUE(client.SendRequestAndGetReply(Request(1), reply, 2.0)) << c.fault;
      EXPECT_EQ(reply.request_id, 1);
      EXPECT_TRUE(reply.success) << c.fault;
      ASSERT_EQ(reply.string_container.size(), 1u) << c.fault;
      EXPECT_EQ(reply.string_container[0], c.wanted_version) << c.fault;
    }
  }
}

TEST(RpcClient, AReplyWithAnotherRequestIdIsStillReturned) {
  const std::string serial = "RPC-" + std::to_string(::getpid()) + "-rid";
  auto robot = StartRobot(serial, {"reply_request_id=7"});
  Client client(GetSharedZenohSession(), RpcKey(serial));
  ASSERT_TRUE(WaitUntilAnswering(client));
  RPCReply reply;
  ASSERT_TRUE(client.SendRequestAndGetReply(Request(1), reply, 2.0));
  EXPECT_EQ(reply.request_id, 7);
}

TEST(RpcClient, OnlyUndecodableRepliesGiveFalseWhenTheQueryEndsAndLeaveTheReplyUntouched) {
  const std::string serial = "RPC-" + std::to_string(::getpid()) + "-trail";
  auto robot = StartRobot(serial, {"reply_trailing_byte@1"});
  Client client(GetSharedZenohSession(), RpcKey(serial));
  ASSERT_TRUE(WaitUntilAnswering(client, 0));
  RPCReply reply;
  reply.request_id = 4242;
  reply.string_container = {"caller's"};
  const auto start = Clock::now();
  EXPECT_FALSE(client.SendRequestAndGetReply(Request(1), reply, 10.0));
  // The query ends with the robot's final answer, long before the 10 s deadline.
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
  EXPECT_EQ(reply.request_id, 4242);
  EXPECT_EQ(reply.string_container, std::vector<std::string>{"caller's"});
}

TEST(RpcClient, AQueryNoQueryableMatchesEndsWhenZenohDropsIt) {
  Client client(GetSharedZenohSession(), RpcKey("NOBODY-" + std::to_string(::getpid())));
  RPCReply reply;
  const auto start = Clock::now();
  EXPECT_FALSE(client.SendRequestAndGetReply(Request(0), reply, 10.0));
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
}

TEST(RpcClient, ALateReplyIsHarmlessToLaterCalls) {
  const std::string serial = "RPC-" + std::to_string(::getpid()) + "-late";
  auto robot = StartRobot(serial, {"reply_delay_ms=600@1"});
  Client client(GetSharedZenohSession(), RpcKey(serial));
  ASSERT_TRUE(WaitUntilAnswering(client, 0));
  RPCReply reply;
  EXPECT_FALSE(client.SendRequestAndGetReply(Request(1), reply, 0.1));
  // Let the late reply arrive into the orphaned call state, then carry on.
  std::this_thread::sleep_for(std::chrono::milliseconds(900));
  for (int i = 0; i < 3; ++i) {
    RPCReply probe;
    ASSERT_TRUE(client.SendRequestAndGetReply(Request(0), probe, 2.0));
    EXPECT_EQ(probe.request_id, 0);
    EXPECT_FALSE(probe.success);
  }
  RPCReply version;
  ASSERT_TRUE(client.SendRequestAndGetReply(Request(1), version, 2.0));
  ASSERT_EQ(version.string_container.size(), 1u);
  EXPECT_EQ(version.string_container[0], "v2.1");
}

TEST(RpcClient, TimeoutZeroReturnsAtOnce) {
  const std::string serial = "RPC-" + std::to_string(::getpid()) + "-zero";
  auto robot = StartRobot(serial, {"reply_delay_ms=500"});
  Client client(GetSharedZenohSession(), RpcKey(serial));
  RPCReply reply;
  EXPECT_FALSE(client.SendRequestAndGetReply(Request(0), reply, 0.0));
  EXPECT_EQ(reply.request_id, 0);
  EXPECT_TRUE(reply.string_container.empty());
}

TEST(RpcClient, ARefusedKeyExpressionReturnsFalseAtOnce) {
  Client client(GetSharedZenohSession(), "korvel/robot//rpc");
  RPCReply reply;
  EXPECT_FALSE(client.SendRequestAndGetReply(Request(0), reply, 10.0));
}

TEST(RpcClient, ConcurrentCallersAreSerializedAndEachGetsItsOwnReply) {
  const std::string serial = "RPC-" + std::to_string(::getpid()) + "-conc";
  auto robot = StartRobot(serial);
  Client client(GetSharedZenohSession(), RpcKey(serial));
  ASSERT_TRUE(WaitUntilAnswering(client));
  std::vector<std::thread> threads;
  std::vector<int> ok(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 25; ++i) {
        RPCReply reply;
        const std::uint16_t id = (t % 2 == 0) ? 0 : 1;
        if (client.SendRequestAndGetReply(Request(id), reply, 2.0) && reply.request_id == id) {
          ++ok[t];
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  for (int t = 0; t < 4; ++t) EXPECT_EQ(ok[t], 25) << "thread " << t;
}

TEST(TimeoutToMilliseconds, TruncatesTowardZeroAndClampsNonsense) {
  using korvel::zenoh_mdw::TimeoutToMilliseconds;
  EXPECT_EQ(TimeoutToMilliseconds(1.0), 1000);
  EXPECT_EQ(TimeoutToMilliseconds(2.0), 2000);
  EXPECT_EQ(TimeoutToMilliseconds(0.0015), 1);
  EXPECT_EQ(TimeoutToMilliseconds(0.0009), 0);
  EXPECT_EQ(TimeoutToMilliseconds(0.0), 0);
  EXPECT_EQ(TimeoutToMilliseconds(-1.0), 0);
  EXPECT_EQ(TimeoutToMilliseconds(std::nan("")), 0);
  EXPECT_GT(TimeoutToMilliseconds(1e300), 0);
}

}  // namespace
