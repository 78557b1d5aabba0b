// The typed subscriber against samples published by a Python peer across the private
// network: decode, then store, then notify; anything that fails is dropped.

#include "middleware/subscriber.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "middleware/shared_session.hpp"
#include "msgs/extra_stream_data.hpp"
#include "tests/support/robot_process.hpp"

namespace {

using korvel::testing::RobotProcess;
using korvel::zenoh_mdw::GetSharedZenohSession;
using korvel::zenoh_mdw::Subscriber;
using korvel::zenoh_msgs::quor_msg::AllExtraStreamData;

// The subscriber keeps no share of the session: like its owner in the client, each test
// holds the session for as long as it subscribes.
class TypedSubscriber : public ::testing::Test {
 protected:
  std::shared_ptr<zenoh::Session> session = GetSharedZenohSession();
};

std::string UniqueKey(const char* name) {
  return "korvel/test/" + std::to_string(::getpid()) + "/" + name;
}

// Publishes the samples from the robot namespace and returns once the peer is done.
void Publish(const std::string& key, const std::vector<std::string>& specs) {
  std::vector<std::string> args = {
      KQ_VENV_PYTHON, std::string(KQ_SOURCE_DIR) + "/tests/middleware/publish_samples.py", key};
  args.insert(args.end(), specs.begin(), specs.end());
  RobotProcess peer(args);
  int status = -1;
  ASSERT_TRUE(peer.WaitForExit(std::chrono::seconds(30), &status));
  ASSERT_EQ(status, 0) << "the publisher saw no subscriber";
}

template <class Predicate>
bool Eventually(Predicate done) {
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!done()) {
    if (std::chrono::steady_clock::now() > give_up) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

struct Seen {
  std::mutex mutex;
  std::vector<float> values;
  void Add(float v) {
    std::lock_guard<std::mutex> lock(mutex);
    values.push_back(v);
  }
  std::vector<float> Get() {
    std::lock_guard<std::mutex> lock(mutex);
    return values;
  }
};

TEST_F(TypedSubscriber, BadSamplesLeaveTheTargetAloneAndEachGoodOneNotifiesOnce) {
  const std::string key = UniqueKey("mixed");
  AllExtraStreamData target;
  target.joint_data.q_d = {-1.0f};
  Seen seen;
  // The callback runs right after the store, on the delivering thread: reading the target
  // there is what the owner does too.
  Subscriber<AllExtraStreamData> subscriber(
      session, [&] { seen.Add(target.joint_data.q_d.at(0)); }, target, key);
  Publish(key, {"trailing:1", "cut:2", "trailing:3", "good:4", "trailing:5", "cut:6", "good:7"});
  ASSERT_TRUE(Eventually([&] { return seen.Get().size() >= 2; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(seen.Get(), (std::vector<float>{4.0f, 7.0f}));
}

TEST_F(TypedSubscriber, AThrowingCallbackDoesNotStopLaterSamples) {
  const std::string key = UniqueKey("throwing");
  AllExtraStreamData target;
  Seen seen;
  Subscriber<AllExtraStreamData> subscriber(
      session,
      [&] {
        seen.Add(target.joint_data.q_d.at(0));
        throw std::runtime_error("callback failure");
      },
      target, key);
  Publish(key, {"good:1", "good:2", "good:3"});
  ASSERT_TRUE(Eventually([&] { return seen.Get().size() >= 3; }));
  EXPECT_EQ(seen.Get(), (std::vector<float>{1.0f, 2.0f, 3.0f}));
}

TEST_F(TypedSubscriber, AnEmptyCallbackStillLetsSamplesUpdateTheTarget) {
  const std::string key = UniqueKey("empty");
  AllExtraStreamData target;
  {
    Subscriber<AllExtraStreamData> subscriber(session, std::function<void()>(), target, key);
    // The target may only be read once its subscriber is gone: the handler writes it with
    // no lock. A second subscription on the same key tells when the sample has been
    // delivered; zenoh hands one sample to all local subscriptions in one go.
    AllExtraStreamData witness_target;
    Seen seen;
    Subscriber<AllExtraStreamData> witness(
        session, [&] { seen.Add(witness_target.joint_data.q_d.at(0)); }, witness_target, key);
    Publish(key, {"good:5"});
    ASSERT_TRUE(Eventually([&] { return !seen.Get().empty(); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  // The store happens before the failing call.
  EXPECT_EQ(target.joint_data.q_d, std::vector<float>{5.0f});
}

TEST_F(TypedSubscriber, ARefusedKeyExpressionThrowsAndSubscribesNothing) {
  AllExtraStreamData target;
  try {
    Subscriber<AllExtraStreamData> subscriber(
        session, [] {}, target, "korvel/robot//basic_stream_data");
    FAIL() << "constructed";
  } catch (const zenoh::ZException& e) {
    EXPECT_STREQ(e.what(), "Failed to construct KeyExpr from: korvel/robot//basic_stream_data");
  }
}

}  // namespace
