#pragma once
// The substitute robot controller for C++ tests: started in the "robot" namespace, faults
// switched at start or at run time through its control channel.

#include <chrono>
#include <cstdint>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/robot_process.hpp"
#include "zenoh/session.hpp"

namespace korvel::testing {

struct SimOptions {
  std::string layout = "one-arm";
  int rate = 200;
  std::vector<std::string> faults;  // NAME, NAME=VALUE or NAME=VALUE@IDS
  std::string ns = "robot";         // the namespace it runs in
};

inline std::unique_ptr<RobotProcess> StartSim(const std::string& serial, SimOptions options = {}) {
  std::vector<std::string> args = {KQ_VENV_PYTHON, "-m",     "korvel_sim",
                                   "--serial",     serial,   "--layout",
                                   options.layout, "--rate", std::to_string(options.rate)};
  for (const auto& f : options.faults) {
    args.push_back("--fault");
    args.push_back(f);
  }
  return std::make_unique<RobotProcess>(args, std::chrono::seconds(20), options.ns);
}

// A serial number no other test process uses.
inline std::string UniqueSerial(const std::string& tag) {
  return "KQ-" + tag + std::to_string(::getpid()) + "x" +
         std::to_string(std::chrono::steady_clock::now().time_since_epoch().count() % 100000);
}

// Sends one JSON control message (e.g. {"clear": true}) to the substitute serving `serial`
// (normalized); true when it answered.
inline bool ControlSim(zenoh::Session& session, const std::string& serial, const std::string& json,
                       std::chrono::seconds timeout = std::chrono::seconds(10)) {
  const auto give_up = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < give_up) {
    auto answered = std::make_shared<std::promise<bool>>();
    auto result = answered->get_future();
    auto flag = std::make_shared<bool>(false);
    zenoh::Session::GetOptions options;
    options.payload = zenoh::Bytes(std::vector<std::uint8_t>(json.begin(), json.end()));
    options.timeout_ms = 2000;
    session.get(
        zenoh::KeyExpr("korvel/sim/" + serial + "/control"),
        [flag](const zenoh::Reply& reply) {
          if (reply.is_ok()) *flag = true;
        },
        [flag, answered] { answered->set_value(*flag); }, std::move(options));
    if (result.get()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return false;
}

}  // namespace korvel::testing
