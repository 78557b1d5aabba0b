#include "stream/data_stream.hpp"

#include <spdlog/spdlog.h>

#include "middleware/topics.hpp"
#include "msgs/held_storage.hpp"

namespace korvel::quor_impl {

DataStream::~DataStream() {
  basic_subscriber.reset();
  extra_subscriber.reset();
  // A callback that was copying a message when its subscription went away finishes first.
  { std::scoped_lock barrier(basic_mutex, extra_mutex); }
  monitor->Shutdown();
}

RmxState DataStream::Init(const zenoh_mdw::RealtimeNode& node, const std::string& robot_sn) {
  const std::string basic_topic =
      std::string(zenoh_mdw::kTopicPrefix) + robot_sn + zenoh_mdw::kBasicStreamSuffix;
  spdlog::debug("[korvel::quor::Client] Creating subscriber on topic: {}", basic_topic);
  basic_subscriber = std::make_shared<zenoh_mdw::Subscriber<Basic>>(
      node.session, [this] { BasicSubCallback(); }, basic_receive, basic_topic,
      monitor->basic_tap(), &zenoh_msgs::quor_msg::TrimStorage<Basic>);

  const std::string extra_topic =
      std::string(zenoh_mdw::kTopicPrefix) + robot_sn + zenoh_mdw::kExtraStreamSuffix;
  spdlog::debug("[korvel::quor::Client] Creating subscriber on topic: {}", extra_topic);
  extra_subscriber = std::make_shared<zenoh_mdw::Subscriber<Extra>>(
      node.session, [this] { ExtraSubCallback(); }, extra_receive, extra_topic,
      monitor->extra_tap(), &zenoh_msgs::quor_msg::TrimStorage<Extra>);
  return _MakeRmxState(OK);
}

void DataStream::BasicSubCallback() {
  std::lock_guard<std::mutex> lock(basic_mutex);
  zenoh_msgs::quor_msg::CopyTrimmed(basic_receive, basic_latest);
}

void DataStream::ExtraSubCallback() {
  std::lock_guard<std::mutex> lock(extra_mutex);
  zenoh_msgs::quor_msg::CopyTrimmed(extra_receive, extra_latest);
  if (!extra_joint_count) extra_joint_count = extra_latest.joint_data.q_d.size();
}

std::uint16_t DataStream::GetSystemState() {
  std::lock_guard<std::mutex> lock(basic_mutex);
  return basic_latest.system_state;
}

std::int16_t DataStream::GetSafetyBoardState() {
  std::lock_guard<std::mutex> lock(basic_mutex);
  return basic_latest.safety_board_state;
}

std::array<bool, 8> DataStream::GetSafetyInputs() {
  std::lock_guard<std::mutex> lock(basic_mutex);
  return basic_latest.safety_inputs;
}

bool DataStream::IsEstopReleased() {
  std::lock_guard<std::mutex> lock(basic_mutex);
  return basic_latest.estop_released;
}

bool DataStream::IsEnablingDeviceOn() {
  std::lock_guard<std::mutex> lock(basic_mutex);
  return basic_latest.enabling_device_on;
}

std::array<bool, 20> DataStream::GetDigitalInput() {
  std::lock_guard<std::mutex> lock(basic_mutex);
  return basic_latest.digital_inputs;
}

std::array<bool, 20> DataStream::GetDigitalOutput() {
  std::lock_guard<std::mutex> lock(basic_mutex);
  return basic_latest.digital_outputs;
}

std::size_t DataStream::GetJointCount() {
  std::lock_guard<std::mutex> lock(basic_mutex);
  return basic_latest.joint_data.q.size();
}

std::optional<std::size_t> DataStream::GetExtraJointCount() {
  std::lock_guard<std::mutex> lock(extra_mutex);
  return extra_joint_count;
}

std::pair<std::int32_t, std::int32_t> DataStream::GetLatestBasicStamp() {
  std::lock_guard<std::mutex> lock(basic_mutex);
  return StampFromWire(basic_latest.timestamp);
}

GroupNames DataStream::GetJointGroups(bool basic) {
  if (basic) {
    std::lock_guard<std::mutex> lock(basic_mutex);
    return JointGroupsFromIndices(basic_latest.joint_group_indices, true);
  }
  std::lock_guard<std::mutex> lock(extra_mutex);
  return JointGroupsFromIndices(extra_latest.joint_group_indices, false);
}

std::map<quor::JointGroup, quor::RobotStates> DataStream::GetRobotStates(
    const GroupNames& group_names, const StartIds& start_ids, const Dofs& dofs,
    std::size_t joint_count) {
  std::lock_guard<std::mutex> lock(basic_mutex);
  return AssembleRobotStates(basic_latest, group_names, start_ids, dofs, joint_count);
}

MultiContactMap DataStream::GetMultiContactPositions(const GroupNames& group_names,
                                                     const StartIds& start_ids, const Dofs& dofs) {
  std::lock_guard<std::mutex> lock(basic_mutex);
  return AssembleMultiContactPositions(basic_latest, group_names, start_ids, dofs);
}

MultiContactMap DataStream::GetMultiContactForces(const GroupNames& group_names,
                                                  const StartIds& start_ids, const Dofs& dofs) {
  std::lock_guard<std::mutex> lock(basic_mutex);
  return AssembleMultiContactForces(basic_latest, group_names, start_ids, dofs);
}

void DataStream::SetExtWrenchInWorld(quor::RobotStates& states) {
  quor_impl::SetExtWrenchInWorld(states);
}

std::map<quor::JointGroup, quor::RobotActions> DataStream::GetRobotActions(
    const GroupNames& group_names, const StartIds& start_ids, const Dofs& dofs,
    std::size_t joint_count) {
  const auto timestamp = GetLatestBasicStamp();
  std::lock_guard<std::mutex> lock(extra_mutex);
  return AssembleRobotActions(timestamp, extra_latest, group_names, start_ids, dofs, joint_count);
}

}  // namespace korvel::quor_impl
