#include "client/client.hpp"

#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

#include <spdlog/spdlog.h>

#include "client/client_impl.hpp"
#include "client/serial_number.hpp"
#include "rpc/configuration_score.hpp"
#include "rpc/plan_info.hpp"
#include "rpc/primitive_states.hpp"

namespace korvel::quor {

Client::Impl::Impl(const std::string& robot_sn, bool verbose) : verbose(verbose) {
  if (verbose) {
    spdlog::info("| | | | | | | | | |  Korvel QUOR {}  | | | | | | | | | |", kClientVersion);
  }
  const auto normalized = quor_impl::NormalizeSerialNumber(robot_sn);
  if (!normalized) throw std::invalid_argument(std::string(quor_impl::kInvalidSerialNumberMessage));
  const std::string& sn = *normalized;
  serial = sn;

  quor_client = std::make_shared<quor_impl::QuorClient>(verbose);
  quor_client->Init(sn);

  std::string version;
  if (quor_client->data_rpc.RequestQuorVersion(version).code != OK) {
    throw std::runtime_error("[korvel::quor::Client] Failed to sync QUOR server version");
  }
  if (version != kClientVersion) {
    throw std::logic_error(
        "[korvel::quor::Client] Version of this client is incompatible with robot [" + sn + "]");
  }

  // Gives the basic stream a moment to deliver the sample whose groups are captured next.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  group_names = quor_client->data_stream.GetJointGroups(true);
  joint_count = quor_client->data_stream.GetJointCount();

  std::vector<JointGroup> all_groups;
  for (int value = 0; value <= 5; ++value) {
    const auto group = static_cast<JointGroup>(value);
    if (kJointGroupNames.count(group) != 0) all_groups.push_back(group);
  }
  if (kJointGroupNames.size() - 1 != all_groups.size()) {
    throw std::logic_error("[korvel::quor::Client] Number of all joint groups is wrong");
  }
  if (quor_client->data_rpc.RequestStartIdAndDoF(all_groups, start_ids, dofs).code != OK) {
    throw std::runtime_error(
        "[korvel::quor::Client] Failed to obtain robot start ID and DoF information");
  }

  if (verbose) {
    for (const auto& [group, dof] : dofs) {
      spdlog::info("[korvel::quor::Client] Joint group: {}, DoF: {}", kJointGroupNames.at(group),
                   dof);
    }
    spdlog::info("[korvel::quor::Client] Initialization complete");
  }
}

std::map<JointGroup, PrimitiveStates> Client::Impl::primitive_states() {
  std::vector<std::string> list;
  for (int attempt = 1;; ++attempt) {
    if (quor_client->data_rpc.RequestPtStates(list).code != OK) {
      throw std::runtime_error(std::string(quor_impl::kPtStatesNoReplyMessage));
    }
    if (list.empty()) return {};
    if (!quor_impl::IsCorruptedPtStatesList(list)) break;
    if (attempt == quor_impl::kPtStatesMaxAttempts) {
      throw std::runtime_error(std::string(quor_impl::kPtStatesCorruptedMessage));
    }
  }
  return quor_impl::DecodePrimitiveStates(list, group_names);
}

Client::Client(const std::string& robot_sn, bool verbose)
    : impl(std::make_unique<Impl>(robot_sn, verbose)) {}

Client::~Client() = default;

bool Client::connected() const { return impl->quor_client->IsConnected(); }

std::map<JointGroup, std::string> Client::groups() const {
  return impl->quor_client->data_stream.GetJointGroups(true);
}

std::map<JointGroup, RobotStates> Client::states() const {
  return impl->quor_client->data_stream.GetRobotStates(impl->group_names, impl->start_ids,
                                                       impl->dofs, impl->joint_count);
}

std::map<JointGroup, RobotActions> Client::actions() const {
  auto& stream = impl->quor_client->data_stream;
  return stream.GetRobotActions(impl->group_names, impl->start_ids, impl->dofs,
                                stream.GetExtraJointCount().value_or(0));
}

std::map<JointGroup, PrimitiveStates> Client::primitive_states() const {
  return impl->primitive_states();
}

std::map<JointGroup, std::pair<double, double>> Client::configuration_score() const {
  quor_impl::ManipulabilityMap manipulability;
  if (impl->quor_client->data_rpc.RequestManipulability(manipulability).code != OK) {
    throw std::runtime_error(std::string(quor_impl::kConfigurationScoreNoReplyMessage));
  }
  return quor_impl::ConfigurationScores(manipulability);
}

PlanInfo Client::plan_info() const {
  PlanInfo info;
  if (impl->quor_client->data_rpc.RequestPlanInfo(info).code != OK) {
    throw std::runtime_error(std::string(quor_impl::kPlanInfoNoReplyMessage));
  }
  return info;
}

bool Client::estop_released() const { return impl->quor_client->data_stream.IsEstopReleased(); }

bool Client::enabling_device_on() const {
  return impl->quor_client->data_stream.IsEnablingDeviceOn();
}

std::array<bool, 20> Client::digital_inputs() const {
  return impl->quor_client->data_stream.GetDigitalInput();
}

std::array<bool, 20> Client::digital_outputs() const {
  return impl->quor_client->data_stream.GetDigitalOutput();
}

}  // namespace korvel::quor
