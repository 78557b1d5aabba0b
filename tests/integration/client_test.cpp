// The Client against the substitute controller across the private network: connection
// sequence, layout capture, stream and RPC accessors, faults of the robot.

#include "client/client.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "middleware/shared_session.hpp"
#include "tests/support/log_capture.hpp"
#include "tests/support/sim.hpp"

namespace {

using korvel::quor::Client;
using korvel::quor::JointGroup;
using korvel::testing::ControlSim;
using korvel::testing::LogCapture;
using korvel::testing::SimOptions;
using korvel::testing::StartSim;
using korvel::testing::UniqueSerial;
using Clock = std::chrono::steady_clock;

const std::string kConnectFailure =
    "]. Please check that: a) Ethernet connection with the target robot is established; b) The "
    "specified serial number of the target robot is correct; c) No firewall is active or this "
    "QUOR program is whitelisted; d) QUOR version is compatible with the target robot's software "
    "version";

template <class Exception>
std::string ConstructionError(const std::string& serial, bool verbose = false) {
  try {
    Client client(serial, verbose);
  } catch (const Exception& e) {
    return e.what();
  }
  return "(constructed)";
}

template <class Predicate>
bool Eventually(Predicate done, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
  const auto give_up = Clock::now() + timeout;
  while (!done()) {
    if (Clock::now() > give_up) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

std::vector<std::string> InfoLines(const LogCapture& log) { return log.Texts(spdlog::level::info); }

TEST(ClientConnection, SpacesInTheModelPartBecomeDashesInEveryKeyExpression) {
  const std::string unit = std::to_string(::getpid());
  auto sim = StartSim("KQ-ab-77-" + unit, {.layout = "two-arm"});
  Client client("KQ ab 77-" + unit, false);  // the robot serves KQ-ab-77-<unit>
  EXPECT_TRUE(client.connected());
  // Both streams reach the client under the dashed serial number too.
  ASSERT_TRUE(
      Eventually([&] { return client.states().size() == 5 && client.actions().size() == 5; }));
  const auto states = client.states();
  const std::vector<std::pair<JointGroup, std::size_t>> dofs = {{JointGroup::ALL, 21},
                                                                {JointGroup::ARMS, 14},
                                                                {JointGroup::ARM_1, 7},
                                                                {JointGroup::ARM_2, 7},
                                                                {JointGroup::EXT_AXIS, 7}};
  for (const auto& [group, dof] : dofs) {
    ASSERT_EQ(states.count(group), 1u);
    EXPECT_EQ(states.at(group).q.size(), dof);
    const auto& pose = states.at(group).tcp_pose;
    EXPECT_NEAR(std::hypot(pose[3], pose[4], pose[5]) * std::hypot(pose[3], pose[4], pose[5]) +
                    pose[6] * pose[6],
                1.0, 1e-5);
  }
  // ARM_1 is the first seven joints of ALL, ARM_2 the next seven.
  const auto& all = states.at(JointGroup::ALL).q;
  ASSERT_EQ(all.size(), 21u);
  EXPECT_EQ(states.at(JointGroup::ARM_2).q, std::vector<double>(all.begin() + 7, all.begin() + 14));
  EXPECT_EQ(client.groups().size(), 5u);
}

// A fresh session learns of the robot some milliseconds after it opens; probing before that
// would find nobody. Every client here opens its own session (the previous one is gone).
TEST(ClientConnection, AClientWithAFreshSessionFindsARobotThatIsThere) {
  const std::string serial = UniqueSerial("fresh");
  auto sim = StartSim(serial);
  for (int i = 0; i < 10; ++i) {
    std::weak_ptr<zenoh::Session> previous;
    {
      Client client(serial, false);
      previous = korvel::zenoh_mdw::GetSharedZenohSession();
    }
    EXPECT_TRUE(previous.expired()) << i;
  }
}

TEST(ClientConnection, ARobotThatAnswersOnlyTheThirdProbeConnects) {
  const std::string serial = UniqueSerial("probe");
  auto sim = StartSim(serial, {.faults = {"ignore_probes=2"}});
  // Every probe must reach the robot: let the session discover it first.
  auto session = korvel::zenoh_mdw::GetSharedZenohSession();
  ASSERT_TRUE(ControlSim(*session, serial, R"({"set": {}})"));
  LogCapture log;
  {
    Client client(serial, false);
    EXPECT_TRUE(client.connected());
  }
  const auto info = InfoLines(log);
  ASSERT_FALSE(info.empty());
  EXPECT_EQ(info.front(), "[korvel::quor::Client] Connected to the robot");
}

TEST(ClientConnection, ARobotThatAnswersNoProbeFailsAfterTheThirdWithTheFullMessage) {
  const std::string serial = UniqueSerial("mute");
  auto sim = StartSim(serial, {.faults = {"ignore_probes=3"}});
  const auto start = Clock::now();
  EXPECT_EQ(ConstructionError<std::runtime_error>(serial),
            "[korvel::quor::Client] Failed to connect to [" + serial + kConnectFailure);
  // Three probes of at most a second each, not more.
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(6));
}

TEST(ClientConnection, AnAbsentRobotFailsWithTheNormalizedSerialNumberInTheMessage) {
  const std::string unit = std::to_string(::getpid());
  EXPECT_EQ(ConstructionError<std::runtime_error>("ZZ 9 9-" + unit),
            "[korvel::quor::Client] Failed to connect to [ZZ-9-9-" + unit + kConnectFailure);
}

TEST(ClientConnection, OnlyTheIdenticalVersionTextIsCompatible) {
  for (const std::string version : {"v2.10", "v2", "v2.1 ", "V2.1", "v3.1"}) {
    const std::string serial = UniqueSerial("ver");
    auto sim = StartSim(serial, {.faults = {"version=" + version}});
    EXPECT_EQ(
        ConstructionError<std::logic_error>(serial),
        "[korvel::quor::Client] Version of this client is incompatible with robot [" + serial + "]")
        << version;
  }
}

TEST(ClientConnection, ConstructionFailsWithTheTextOfTheStepThatFailed) {
  struct Case {
    std::string fault;
    std::string message;
  };
  const Case cases[] = {
      {"no_reply@1", "[korvel::quor::Client] Failed to sync QUOR server version"},
      {"no_reply@10", "[korvel::quor::Client] Failed to obtain robot start ID and DoF information"},
      {"start_id_mismatch",
       "[korvel::quor::Client] Failed to obtain robot start ID and DoF information"},
      {"probe_success", "[korvel::quor::Client] Failed to connect to ["},
      {"reply_request_id=5@0", "[korvel::quor::Client] Failed to connect to ["},
  };
  for (const auto& c : cases) {
    const std::string serial = UniqueSerial("step");
    auto sim = StartSim(serial, {.faults = {c.fault}});
    LogCapture log;
    const std::string error = ConstructionError<std::runtime_error>(serial);
    EXPECT_EQ(error.substr(0, c.message.size()), c.message) << c.fault;
    // The middleware was up, so unwinding logs the exit line.
    const auto info = InfoLines(log);
    ASSERT_FALSE(info.empty()) << c.fault;
    EXPECT_EQ(info.back(), ">>>>> Korvel QUOR exited <<<<<") << c.fault;
  }
}

TEST(ClientConnection, AMalformedSerialNumberFailsBeforeAnyNetworkActivity) {
  for (const std::string serial : {"", "AB_4s-0", "AB4s012345", "AB-4s-", "AB  4s-0", "AB-*"}) {
    LogCapture log;
    EXPECT_EQ(ConstructionError<std::invalid_argument>(serial, true),
              "[korvel::quor::Client] Format of the provided robot serial number is invalid")
        << serial;
    // Only the banner: no search, no exit line.
    EXPECT_EQ(
        InfoLines(log),
        std::vector<std::string>{"| | | | | | | | | |  Korvel QUOR v2.1  | | | | | | | | | |"})
        << serial;
  }
}

TEST(ClientLogging, VerboseAddsBannerSearchDofsAndCompletionQuietKeepsConnectedAndExit) {
  const std::string serial = UniqueSerial("log");
  auto sim = StartSim(serial);
  {
    LogCapture log;
    {
      Client client(serial, false);
    }
    EXPECT_EQ(InfoLines(log),
              (std::vector<std::string>{"[korvel::quor::Client] Connected to the robot",
                                        ">>>>> Korvel QUOR exited <<<<<"}));
    EXPECT_TRUE(log.Errors().empty());
  }
  {
    LogCapture log;
    {
      Client client(serial, true);
    }
    EXPECT_EQ(InfoLines(log), (std::vector<std::string>{
                                  "| | | | | | | | | |  Korvel QUOR v2.1  | | | | | | | | | |",
                                  "[korvel::quor::Client] Searching for [" + serial + "] ...",
                                  "[korvel::quor::Client] Connected to the robot",
                                  "[korvel::quor::Client] Joint group: ALL, DoF: 7",
                                  "[korvel::quor::Client] Joint group: ARM_1, DoF: 7",
                                  "[korvel::quor::Client] Initialization complete",
                                  ">>>>> Korvel QUOR exited <<<<<"}));
  }
}

TEST(ClientStreams, ASilentBasicStreamLeavesTheLayoutEmptyForTheClientsLifetime) {
  const std::string serial = UniqueSerial("silent");
  auto sim = StartSim(serial, {.faults = {"silent_basic"}});
  Client client(serial, false);
  EXPECT_TRUE(client.groups().empty());
  EXPECT_TRUE(client.states().empty());
  EXPECT_FALSE(client.estop_released());
  EXPECT_FALSE(client.enabling_device_on());
  EXPECT_EQ(client.digital_inputs(), (std::array<bool, 20>{}));
  EXPECT_EQ(client.digital_outputs(), (std::array<bool, 20>{}));

  auto session = korvel::zenoh_mdw::GetSharedZenohSession();
  ASSERT_TRUE(ControlSim(*session, serial, R"({"clear": true})"));
  // groups() reads the stream afresh; the layout captured at construction stays empty.
  ASSERT_TRUE(Eventually([&] { return client.groups().size() == 2; }));
  // Groups the stream names but the layout lacks get Cartesian data only: no joint values,
  // no timestamp.
  ASSERT_TRUE(Eventually([&] { return client.states().size() == 2; }));
  for (const auto& [group, record] : client.states()) {
    EXPECT_TRUE(record.q.empty());
    EXPECT_EQ(record.timestamp, (std::pair<std::int32_t, std::int32_t>{0, 0}));
    EXPECT_NE(record.tcp_pose, (std::array<double, 7>{}));
  }
}

TEST(ClientStreams, BadStreamDataGivesAnEmptyMapAndOneErrorLine) {
  struct Case {
    std::string fault;
    bool states_fail;
    bool actions_fail;
    std::string error;
  };
  const Case cases[] = {
      {"cartesian_short=basic", true, false,
       "[korvel::quor::Client] The received data has mismatched sizes: cartesian_data size is 1, "
       "expected number of joint groups is 2"},
      {"cartesian_short=extra", false, true,
       "[korvel::quor::Client] The received desired data has mismatched sizes: cartesian_data "
       "size is 1, expected number of joint groups is 2"},
      {"joint_lists_short=1", true, true,
       "[korvel::quor::Client] Failed to segment full-DoF joint data for joint group [0]"},
  };
  for (const auto& c : cases) {
    const std::string serial = UniqueSerial("bad");
    auto sim = StartSim(serial);
    Client client(serial, false);
    ASSERT_TRUE(Eventually([&] { return client.states().size() == 2; })) << c.fault;
    auto session = korvel::zenoh_mdw::GetSharedZenohSession();
    const std::string name = c.fault.substr(0, c.fault.find('='));
    std::string value = c.fault.substr(c.fault.find('=') + 1);
    if (value.find_first_not_of("0123456789") != std::string::npos) value = "\"" + value + "\"";
    ASSERT_TRUE(ControlSim(*session, serial, R"({"set": {")" + name + "\": " + value + "}}"));
    ASSERT_TRUE(Eventually([&] {
      return c.states_fail ? client.states().empty() : client.actions().empty();
    })) << c.fault;
    LogCapture log;
    EXPECT_EQ(client.states().empty(), c.states_fail) << c.fault;
    EXPECT_EQ(client.actions().empty(), c.actions_fail) << c.fault;
    const auto errors = log.Errors();
    ASSERT_FALSE(errors.empty()) << c.fault;
    EXPECT_EQ(errors.front(), c.error) << c.fault;
    EXPECT_EQ(errors.size(), (c.states_fail ? 1u : 0u) + (c.actions_fail ? 1u : 0u)) << c.fault;
  }
}

TEST(ClientStreams, UnknownGroupIndicesInTheStream) {
  const std::string serial = UniqueSerial("idx");
  auto sim = StartSim(serial);
  Client client(serial, false);
  auto session = korvel::zenoh_mdw::GetSharedZenohSession();
  ASSERT_TRUE(ControlSim(*session, serial, R"({"set": {"group_index": 7}})"));
  // An index above 5 empties groups() with an error line; states() files it under 7.
  ASSERT_TRUE(Eventually([&] { return client.states().count(static_cast<JointGroup>(7)) == 1; }));
  {
    LogCapture log;
    EXPECT_TRUE(client.groups().empty());
    EXPECT_EQ(log.Errors(), std::vector<std::string>{
                                "[korvel::quor::Client] The received basic data contains invalid "
                                "joint group index [7]"});
  }
  ASSERT_TRUE(ControlSim(*session, serial, R"({"set": {"group_index": 1}})"));
  ASSERT_TRUE(Eventually([&] { return client.states().count(static_cast<JointGroup>(1)) == 1; }));
  EXPECT_THROW(client.groups(), std::out_of_range);
}

TEST(ClientStreams, UndecodableSamplesLeaveTheCacheAtTheLastGoodOne) {
  const std::string serial = UniqueSerial("trail");
  auto sim = StartSim(serial);
  Client client(serial, false);
  ASSERT_TRUE(Eventually([&] { return client.states().size() == 2; }));
  auto session = korvel::zenoh_mdw::GetSharedZenohSession();
  ASSERT_TRUE(ControlSim(*session, serial, R"({"set": {"stream_trailing_byte": "both"}})"));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const auto frozen = client.states().at(JointGroup::ALL).timestamp;
  const auto frozen_q = client.actions().at(JointGroup::ALL).q_d;
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(client.states().at(JointGroup::ALL).timestamp, frozen);
  EXPECT_EQ(client.actions().at(JointGroup::ALL).q_d, frozen_q);
  ASSERT_TRUE(ControlSim(*session, serial, R"({"clear": true})"));
  EXPECT_TRUE(Eventually([&] { return client.states().at(JointGroup::ALL).timestamp != frozen; }));
}

TEST(ClientRpc, RemoteCallsAnswerAndFailWithTheirOwnTexts) {
  const std::string serial = UniqueSerial("rpc");
  auto sim = StartSim(serial, {.layout = "two-arm"});
  Client client(serial, false);
  const auto info = client.plan_info();
  EXPECT_FALSE(info.pt_name.empty());
  const auto scores = client.configuration_score();
  EXPECT_EQ(scores.size(), 5u);
  for (const auto& [group, score] : scores) {
    EXPECT_GE(score.first, 0.0);
    EXPECT_LE(score.first, 100.0);
    EXPECT_GE(score.second, 0.0);
    EXPECT_LE(score.second, 100.0);
  }
  (void)client.primitive_states();

  auto session = korvel::zenoh_mdw::GetSharedZenohSession();
  ASSERT_TRUE(
      ControlSim(*session, serial, R"({"set": {"no_reply": true}, "requests": [3, 4, 9]})"));
  struct Case {
    std::function<void()> call;
    std::string message;
  };
  const Case cases[] = {
      {[&] { client.plan_info(); }, "[korvel::quor::Client] plan_info: No reply from the robot"},
      {[&] { client.configuration_score(); },
       "[korvel::quor::Model::configuration_score] No reply from the robot"},
      {[&] { client.primitive_states(); },
       "[korvel::quor::Client::primitive_states] No reply from the robot"},
  };
  for (const auto& c : cases) {
    try {
      c.call();
      ADD_FAILURE() << "no exception for: " << c.message;
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(std::string(e.what()), c.message);
    }
  }
  EXPECT_TRUE(client.connected());
}

TEST(ClientRpc, PrimitiveStatesRetryCorruptedListsUpToSixTimes) {
  const std::string serial = UniqueSerial("pt");
  auto sim = StartSim(serial);
  Client client(serial, false);
  auto session = korvel::zenoh_mdw::GetSharedZenohSession();
  ASSERT_TRUE(
      ControlSim(*session, serial,
                 R"({"set": {"pt_states": ["jointGroup = 3", "primitiveName = Hold", "count = 3"],
                                     "corrupt_pt_states": 5}})"));
  const auto states = client.primitive_states();  // the sixth list is clean
  ASSERT_EQ(states.size(), 1u);
  EXPECT_EQ(states.at(JointGroup::ARM_1).pt_name, "Hold");
  EXPECT_EQ(std::get<int>(states.at(JointGroup::ARM_1).names_and_values.at("count")), 3);

  ASSERT_TRUE(ControlSim(*session, serial, R"({"set": {"corrupt_pt_states": 6}})"));
  try {
    client.primitive_states();
    ADD_FAILURE() << "six corrupted lists accepted";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(),
                 "[korvel::quor::Client::primitive_states] Still received corrupted data after "
                 "several attempts");
  }
  // The countdown is used up: the next call reads a clean list again.
  EXPECT_EQ(client.primitive_states().size(), 1u);
}

TEST(ClientLifecycle, TwoClientsShareTheSessionAndOutliveEachOther) {
  const std::string serial = UniqueSerial("two");
  auto sim = StartSim(serial);
  auto first = std::make_unique<Client>(serial, false);
  std::weak_ptr<zenoh::Session> session = korvel::zenoh_mdw::GetSharedZenohSession();
  auto second = std::make_unique<Client>(serial, false);
  EXPECT_EQ(session.lock(), korvel::zenoh_mdw::GetSharedZenohSession());
  first.reset();
  EXPECT_FALSE(session.expired());
  EXPECT_TRUE(second->connected());
  ASSERT_TRUE(Eventually([&] { return second->states().size() == 2; }));
  const auto stamp = second->states().at(JointGroup::ALL).timestamp;
  EXPECT_TRUE(Eventually([&] { return second->states().at(JointGroup::ALL).timestamp != stamp; }));
  second.reset();
  EXPECT_TRUE(session.expired());
}

TEST(ClientLifecycle, ARobotThatVanishesLeavesTheCacheAndFailsRemoteCalls) {
  const std::string serial = UniqueSerial("gone");
  auto sim = StartSim(serial);
  Client client(serial, false);
  ASSERT_TRUE(Eventually([&] { return client.states().size() == 2; }));
  sim->Stop(SIGKILL);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const auto last = client.states();
  ASSERT_EQ(last.size(), 2u);
  EXPECT_EQ(client.states().at(JointGroup::ALL).timestamp, last.at(JointGroup::ALL).timestamp);
  EXPECT_EQ(client.groups().size(), 2u);
  auto start = Clock::now();
  EXPECT_FALSE(client.connected());
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1500));
  start = Clock::now();
  EXPECT_THROW(client.plan_info(), std::runtime_error);
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(2500));
}

TEST(ClientLifecycle, RepeatedConstructionAndDestructionWhileSamplesArrive) {
  const std::string serial = UniqueSerial("churn");
  auto sim = StartSim(serial, {.layout = "two-arm", .rate = 1000});
  for (int i = 0; i < 5; ++i) {
    Client client(serial, false);
    ASSERT_TRUE(Eventually([&] { return client.states().size() == 5; })) << i;
  }
}

}  // namespace
