// Every fault the substitute controller can play, one case each: the client's documented
// answer, and that the call returns within its documented time bound.

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "client/client.hpp"
#include "middleware/shared_session.hpp"
#include "tests/support/log_capture.hpp"
#include "tests/support/sim.hpp"

namespace {

using korvel::quor::Client;
using korvel::quor::JointGroup;
using korvel::testing::ControlSim;
using korvel::testing::LogCapture;
using korvel::testing::StartSim;
using korvel::testing::UniqueSerial;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr milliseconds kProbeBound{1000 + 300};
constexpr milliseconds kRequestBound{2000 + 300};

template <class Predicate>
bool Eventually(Predicate done, milliseconds timeout = milliseconds(5000)) {
  const auto give_up = Clock::now() + timeout;
  while (!done()) {
    if (Clock::now() > give_up) return false;
    std::this_thread::sleep_for(milliseconds(10));
  }
  return true;
}

// Runs `call`, returns the text of the std::exception it threw ("" when none) and checks
// that it returned within `bound`.
std::string Timed(const std::function<void()>& call, milliseconds bound, const std::string& what) {
  const auto start = Clock::now();
  std::string error;
  try {
    call();
  } catch (const std::exception& e) {
    error = e.what();
  }
  const auto took = std::chrono::duration_cast<milliseconds>(Clock::now() - start);
  EXPECT_LE(took.count(), bound.count()) << what;
  return error;
}

// One running substitute (two arms, 1 kHz) and one client; each case switches a fault on
// at run time, checks the client's answer, and clears it again.
class FaultMatrix : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    serial_ = new std::string(UniqueSerial("matrix"));
    sim_ = StartSim(*serial_, {.layout = "two-arm", .rate = 1000}).release();
    client_ = new Client(*serial_, false);
  }
  static void TearDownTestSuite() {
    delete client_;
    delete sim_;
    delete serial_;
  }
  void SetUp() override {
    session_ = korvel::zenoh_mdw::GetSharedZenohSession();
    ASSERT_TRUE(Control(R"({"clear": true})"));
    ASSERT_TRUE(
        Eventually([] { return client_->states().size() == 5 && client_->actions().size() == 5; }));
  }
  void TearDown() override { EXPECT_TRUE(Control(R"({"clear": true})")); }

  bool Control(const std::string& json) { return ControlSim(*session_, *serial_, json); }

  // True when the cached message of the chosen stream stops changing.
  bool Frozen(bool basic) {
    auto read = [&] {
      return basic ? client_->states().at(JointGroup::ALL).q
                   : client_->actions().at(JointGroup::ALL).q_d;
    };
    std::this_thread::sleep_for(milliseconds(150));  // samples in flight arrive first
    const auto before = read();
    std::this_thread::sleep_for(milliseconds(200));
    return read() == before;
  }

  static std::string* serial_;
  static korvel::testing::RobotProcess* sim_;
  static Client* client_;
  std::shared_ptr<zenoh::Session> session_;
};

std::string* FaultMatrix::serial_ = nullptr;
korvel::testing::RobotProcess* FaultMatrix::sim_ = nullptr;
Client* FaultMatrix::client_ = nullptr;

// Samples that are silent or do not decode leave each cache at its last good message, for
// as long as the fault lasts; both streams are independent.
TEST_F(FaultMatrix, SilentOrUndecodableStreamsFreezeTheirCache) {
  struct Case {
    const char* set;
    bool basic_frozen;
    bool extra_frozen;
  };
  const Case cases[] = {
      {R"({"set": {"silent_basic": true}})", true, false},
      {R"({"set": {"silent_extra": true}})", false, true},
      {R"({"set": {"silent_streams": true}})", true, true},
      {R"({"set": {"stream_trailing_byte": "basic"}})", true, false},
      {R"({"set": {"stream_trailing_byte": "both"}})", true, true},
      {R"({"set": {"digital_inputs_size": 19}})", true, false},
      {R"({"set": {"digital_inputs_size": 21}})", true, false},
      {R"({"set": {"tcp_pose_size": 6}})", true, false},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(Control(c.set)) << c.set;
    EXPECT_EQ(Frozen(true), c.basic_frozen) << c.set;
    EXPECT_EQ(Frozen(false), c.extra_frozen) << c.set;
    EXPECT_EQ(client_->digital_inputs().size(), 20u);
    ASSERT_TRUE(Control(R"({"clear": true})"));
    EXPECT_FALSE(Frozen(true)) << c.set << " (after clearing)";
    EXPECT_FALSE(Frozen(false)) << c.set << " (after clearing)";
  }
}

TEST_F(FaultMatrix, StreamDataThatDoesNotFitTheLayoutGivesEmptyMapsAndOneErrorLine) {
  struct Case {
    const char* set;
    bool states_empty;
    bool actions_empty;
    const char* first_error;
  };
  const Case cases[] = {
      {R"({"set": {"cartesian_short": "basic"}})", true, false,
       "[korvel::quor::Client] The received data has mismatched sizes: cartesian_data size is 4, "
       "expected number of joint groups is 5"},
      {R"({"set": {"cartesian_short": "extra"}})", false, true,
       "[korvel::quor::Client] The received desired data has mismatched sizes: cartesian_data "
       "size is 4, expected number of joint groups is 5"},
      {R"({"set": {"joint_lists_short": 1}})", true, true,
       "[korvel::quor::Client] Failed to segment full-DoF joint data for joint group [0]"},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(Control(c.set)) << c.set;
    ASSERT_TRUE(Eventually([&] {
      return client_->states().empty() == c.states_empty &&
             client_->actions().empty() == c.actions_empty;
    })) << c.set;
    LogCapture log;
    (void)client_->states();
    (void)client_->actions();
    const auto errors = log.Errors();
    ASSERT_EQ(errors.size(), (c.states_empty ? 1u : 0u) + (c.actions_empty ? 1u : 0u)) << c.set;
    EXPECT_EQ(errors.front(), c.first_error);
    ASSERT_TRUE(Control(R"({"clear": true})"));
  }
}

TEST_F(FaultMatrix, GroupIndicesWithoutANameEmptyTheGroupsOrFailTheLookup) {
  for (int index : {6, 7}) {
    ASSERT_TRUE(Control(R"({"set": {"group_index": )" + std::to_string(index) + "}}"));
    ASSERT_TRUE(
        Eventually([&] { return client_->states().count(static_cast<JointGroup>(index)) == 1; }));
    LogCapture log;
    EXPECT_TRUE(client_->groups().empty());
    EXPECT_EQ(log.Errors(), std::vector<std::string>{
                                "[korvel::quor::Client] The received basic data contains invalid "
                                "joint group index [" +
                                std::to_string(index) + "]"});
  }
  ASSERT_TRUE(Control(R"({"set": {"group_index": 1}})"));
  ASSERT_TRUE(Eventually([&] { return client_->states().count(static_cast<JointGroup>(1)) == 1; }));
  try {
    client_->groups();
    ADD_FAILURE() << "index 1 accepted";
  } catch (const std::out_of_range& e) {
    EXPECT_STREQ(e.what(), "map::at");
  }
}

TEST_F(FaultMatrix, StatusFlagsFollowTheStream) {
  for (const bool value : {true, false, true}) {
    const std::string v = value ? "true" : "false";
    ASSERT_TRUE(
        Control(R"({"set": {"estop_released": )" + v + R"(, "enabling_device_on": )" + v + "}}"));
    EXPECT_TRUE(Eventually([&] {
      return client_->estop_released() == value && client_->enabling_device_on() == value;
    })) << v;
  }
}

// Every remote accessor with every reply fault on its request: succeeds or fails with its
// own text, within its timeout.
TEST_F(FaultMatrix, RemoteCallsUnderReplyFaults) {
  struct Accessor {
    const char* name;
    int request;
    std::function<void()> call;
    std::string failure;
    milliseconds bound;
  };
  const Accessor accessors[] = {
      {"plan_info", 4, [] { client_->plan_info(); },
       "[korvel::quor::Client] plan_info: No reply from the robot", kRequestBound},
      {"configuration_score", 9, [] { client_->configuration_score(); },
       "[korvel::quor::Model::configuration_score] No reply from the robot", kRequestBound},
      {"primitive_states", 3, [] { client_->primitive_states(); },
       "[korvel::quor::Client::primitive_states] No reply from the robot", kRequestBound},
      {"connected", 0,
       [] {
         if (!client_->connected()) throw std::runtime_error("not connected");
       },
       "not connected", kProbeBound},
  };
  struct Fault {
    std::string set;  // the fault, restricted to the accessor's request by "requests"
    bool fails;
  };
  const Fault faults[] = {
      {R"("no_reply": true)", true},
      {R"("reply_trailing_byte": true)", true},
      {R"("reply_request_id": 77)", true},
      {R"("double_reply": true)", false},
      {R"("error_first": true)", false},
      {R"("trailing_then_good": true)", false},
      {R"("good_then_trailing": true)", false},
      {R"("reply_delay_ms": 500)", false},
      {R"("reply_delay_ms": 2600)", true},
  };
  for (const auto& a : accessors) {
    for (const auto& f : faults) {
      const std::string what = std::string(a.name) + " with " + f.set;
      // The probe's timeout is one second: a 500 ms delay still answers it.
      ASSERT_TRUE(Control(R"({"set": {)" + f.set + R"(}, "requests": [)" +
                          std::to_string(a.request) + "]}"))
          << what;
      const std::string error = Timed(a.call, a.bound, what);
      EXPECT_EQ(error, f.fails ? a.failure : "") << what;
      ASSERT_TRUE(Control(R"({"clear": true})"));
      // A late reply still in flight must not disturb the next case.
      if (f.set.find("2600") != std::string::npos) std::this_thread::sleep_for(milliseconds(800));
    }
  }
}

TEST_F(FaultMatrix, ProbeFaultsMakeConnectedAnswerFalse) {
  const char* sets[] = {R"({"set": {"probe_success": true}})", R"({"set": {"ignore_probes": 1}})",
                        R"({"set": {"reply_request_id": 1}, "requests": [0]})"};
  for (const char* set : sets) {
    ASSERT_TRUE(Control(set)) << set;
    bool answer = true;
    Timed([&] { answer = client_->connected(); }, kProbeBound, set);
    EXPECT_FALSE(answer) << set;
    ASSERT_TRUE(Control(R"({"clear": true})"));
    EXPECT_TRUE(client_->connected()) << set << " (after clearing)";
  }
}

TEST_F(FaultMatrix, MalformedReplyContentsFailTheirAccessor) {
  struct Case {
    std::string set;
    std::function<void()> call;
    std::string failure;  // "" when the call succeeds
    std::string error_line;
  };
  const std::string plan = "[korvel::quor::Client] plan_info: No reply from the robot";
  const std::string score = "[korvel::quor::Model::configuration_score] No reply from the robot";
  const Case cases[] = {
      {R"({"set": {"manip_vector_len": 7}})", [] { client_->configuration_score(); }, score,
       "Malformed manipulability reply: packed vector size [7], expecting at least [8]"},
      {R"({"set": {"manip_vector_len": 12}})", [] { client_->configuration_score(); }, "", ""},
      {R"({"set": {"manip_mismatch": true}})", [] { client_->configuration_score(); }, score,
       "Malformed manipulability reply: size mismatch between joint_groups and float2d_container"},
      {R"({"set": {"plan_info": ["a", "b", "c", "d", "e", "f", "0.5 m/s", "2"]}})",
       [] {
         const auto info = client_->plan_info();
         if (info.velocity_scale != 0.5 || !info.waiting_for_step || info.pt_name != "a") {
           throw std::runtime_error("plan info converted wrongly");
         }
       },
       "", ""},
      {R"({"set": {"plan_info": ["a", "b", "c", "d", "e", "f", "0.5", "1", "extra"]}})",
       [] { client_->plan_info(); }, plan,
       "[korvel::quor::Client] Size of plan info container is incorrect"},
      {R"({"set": {"plan_info": ["a", "b", "c", "d", "e", "f", "fast", "1"]}})",
       [] { client_->plan_info(); }, plan, "Invalid PlanInfo string conversion: stod"},
      {R"({"set": {"plan_info": ["a", "b", "c", "d", "e", "f", "1", ""]}})",
       [] { client_->plan_info(); }, plan, "Invalid PlanInfo string conversion: stoi"},
      // Text that is not UTF-8 makes the whole reply undecodable, as zenoh's own decoder does.
      {R"({"set": {"text_not_utf8": true}, "requests": [4]})", [] { client_->plan_info(); }, plan,
       ""},
      {R"({"set": {"text_not_utf8": true}, "requests": [3]})", [] { client_->primitive_states(); },
       "[korvel::quor::Client::primitive_states] No reply from the robot", ""},
      {R"({"set": {"corrupt_pt_states": 5}})", [] { client_->primitive_states(); }, "", ""},
      {R"({"set": {"corrupt_pt_states": 6}})", [] { client_->primitive_states(); },
       "[korvel::quor::Client::primitive_states] Still received corrupted data after several "
       "attempts",
       ""},
      {R"({"set": {"pt_states": []}})",
       [] {
         if (!client_->primitive_states().empty()) throw std::runtime_error("not empty");
       },
       "", ""},
      {R"({"set": {"pt_states": ["jointGroup = 1", "primitiveName = Hold"]}})",
       [] { client_->primitive_states(); },
       "[korvel::quor::Client::primitive_states] Received primitive states for unknown joint group",
       ""},
      {R"({"set": {"pt_states": ["count = 3"]}})", [] { client_->primitive_states(); },
       "[korvel::quor::Client::primitive_states] Malformed primitive states: missing jointGroup "
       "marker",
       ""},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(Control(c.set)) << c.set;
    LogCapture log;
    // Six corrupted lists take six requests.
    const milliseconds bound =
        c.set.find("corrupt") != std::string::npos ? kRequestBound * 6 : kRequestBound;
    EXPECT_EQ(Timed(c.call, bound, c.set), c.failure) << c.set;
    const auto errors = log.Errors();
    if (c.error_line.empty()) {
      EXPECT_TRUE(errors.empty()) << c.set;
    } else {
      EXPECT_EQ(errors, std::vector<std::string>{c.error_line}) << c.set;
    }
    ASSERT_TRUE(Control(R"({"clear": true})"));
  }
}

// Faults that only matter while connecting: each makes construction fail with its text
// within the bound of the steps it reaches.
TEST(FaultMatrixConstruction, ConnectionFaultsFailConstruction) {
  struct Case {
    std::string fault;
    std::string prefix;
    milliseconds bound;
  };
  const Case cases[] = {
      {"version=v2.10",
       "[korvel::quor::Client] Version of this client is incompatible with robot [",
       kProbeBound * 3 + kRequestBound},
      {"text_not_utf8@1", "[korvel::quor::Client] Failed to sync QUOR server version",
       kProbeBound * 3 + kRequestBound},
      {"probe_success", "[korvel::quor::Client] Failed to connect to [", kProbeBound * 3},
      {"ignore_probes=3", "[korvel::quor::Client] Failed to connect to [", kProbeBound * 3},
      {"start_id_mismatch",
       "[korvel::quor::Client] Failed to obtain robot start ID and DoF information",
       kProbeBound * 3 + kRequestBound * 2 + milliseconds(100)},
      {"reply_delay_ms=2600@10",
       "[korvel::quor::Client] Failed to obtain robot start ID and DoF information",
       kProbeBound * 3 + kRequestBound * 2 + milliseconds(100)},
  };
  for (const auto& c : cases) {
    const std::string serial = UniqueSerial("cf");
    auto sim = StartSim(serial, {.faults = {c.fault}});
    const std::string error = Timed([&] { Client client(serial, false); }, c.bound, c.fault);
    EXPECT_EQ(error.substr(0, c.prefix.size()), c.prefix) << c.fault << ": " << error;
  }
}

}  // namespace
