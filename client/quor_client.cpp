#include "client/quor_client.hpp"

#include <stdexcept>

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

  // zenoh ends a query at once while it knows no robot yet, and discovery lags the opening
  // of the session by some milliseconds. Each probe therefore first gives discovery up to
  // the probe's own timeout, so an absent robot is still given up after about three
  // seconds, while a robot that is there is probed as soon as it is known.
  bool connected = false;
  for (int attempt = 1; attempt <= kProbeAttempts && !connected; ++attempt) {
    data_rpc.WaitForServer(kProbeTimeout);
    connected = IsConnected();
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
