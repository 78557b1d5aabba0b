#include "client/quor_client.hpp"

#include <chrono>
#include <stdexcept>
#include <thread>

#include <spdlog/spdlog.h>

#include "middleware/shared_session.hpp"

namespace korvel::quor_impl {

namespace {

constexpr int kProbeAttempts = 3;

}  // namespace

QuorClient::QuorClient(bool verbose)
    : reliable_node{zenoh_mdw::GetSharedZenohSession()},
      realtime_node{zenoh_mdw::GetSharedZenohSession()},
      verbose(verbose) {}

QuorClient::~QuorClient() { spdlog::info(">>>>> Korvel QUOR exited <<<<<"); }

void QuorClient::Init(const std::string& robot_sn) {
  if (InitMiddleware(robot_sn).code != OK) {
    throw std::runtime_error("[korvel::quor::Client] Failed to start communication services");
  }
  if (verbose) spdlog::info("[korvel::quor::Client] Searching for [{}] ...", robot_sn);

  // zenoh ends a query at once when it knows no robot yet, and discovery can lag the
  // session's opening by a few milliseconds. A probe that ends early is therefore followed
  // by the rest of its second before the next one, so the three probes give the robot the
  // three seconds their timeouts promise.
  bool connected = false;
  for (int attempt = 1; attempt <= kProbeAttempts && !connected; ++attempt) {
    const auto started = std::chrono::steady_clock::now();
    connected = IsConnected();
    if (!connected && attempt < kProbeAttempts) {
      std::this_thread::sleep_until(started + std::chrono::milliseconds(1000));
    }
  }
  if (!connected) {
    throw std::runtime_error(
        "[korvel::quor::Client] Failed to connect to [" + robot_sn +
        "]. Please check that: a) Ethernet connection with the target robot is established; "
        "b) The specified serial number of the target robot is correct; c) No firewall is "
        "active or this QUOR program is whitelisted; d) QUOR version is compatible with the "
        "target robot's software version");
  }
  spdlog::info("[korvel::quor::Client] Connected to the robot");
}

RmxState QuorClient::InitMiddleware(const std::string& robot_sn) {
  spdlog::debug("[korvel::quor::Client] Starting communication services ...");
  const RmxState stream = data_stream.Init(realtime_node, robot_sn);
  if (stream.code > 299999) return stream;
  const RmxState rpc = data_rpc.Init(reliable_node, robot_sn);
  if (rpc.code > 299999) return rpc;
  spdlog::debug("[korvel::quor::Client] Communication services started");
  return _MakeRmxState(OK);
}

bool QuorClient::IsConnected() { return data_rpc.IsConnected(); }

}  // namespace korvel::quor_impl
