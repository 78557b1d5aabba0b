#include "stream/data_stream.hpp"

#include <tuple>

#include <spdlog/spdlog.h>

#include "middleware/topics.hpp"
#include "msgs/held_storage.hpp"

namespace korvel::quor_impl {

DataStream::~DataStream() {
  basic_subscriber.reset();
  extra_subscriber.reset();
  // A callback that was copying a message when its subscription went away finishes first.
  {
    std::scoped_lock barrier(basic_mutex, extra_mutex);
  }
  monitor->Shutdown();
}

template <Stream S>
auto DataStream::Members() {
  if constexpr (S == Stream::Basic) {
    return std::tie(basic_subscriber, basic_receive, basic_latest, basic_mutex);
  } else {
    return std::tie(extra_subscriber, extra_receive, extra_latest, extra_mutex);
  }
}

template <Stream S>
void DataStream::Subscribe(const zenoh_mdw::RealtimeNode& node, const std::string& robot_sn) {
  using Message = MessageOf<S>;
  auto [subscriber, receive, latest, mutex] = Members<S>();
  const std::string topic =
      std::string(zenoh_mdw::kTopicPrefix) + robot_sn + StreamTraits<S>::kTopicSuffix;
  spdlog::debug("[korvel::quor::Client] Creating subscriber on topic: {}", topic);
  subscriber = std::make_shared<zenoh_mdw::Subscriber<Message>>(
      node.session, [this] { Publish<S>(); }, receive, topic, monitor->tap<S>(),
      &zenoh_msgs::quor_msg::TrimStorage<Message>);
}

template <Stream S>
void DataStream::Publish() {
  auto [subscriber, receive, latest, mutex] = Members<S>();
  std::lock_guard<std::mutex> lock(mutex);
  zenoh_msgs::quor_msg::CopyTrimmed(receive, latest);
  if constexpr (S == Stream::Extra) {
    if (!extra_joint_count) extra_joint_count = StreamTraits<S>::JointCount(latest);
  }
}

template <Stream S>
GroupNames DataStream::JointGroups() {
  auto [subscriber, receive, latest, mutex] = Members<S>();
  std::lock_guard<std::mutex> lock(mutex);
  return Logged(JointGroupsFromIndices(latest.joint_group_indices, S));
}

RmxState DataStream::Init(const zenoh_mdw::RealtimeNode& node, const std::string& robot_sn) {
  Subscribe<Stream::Basic>(node, robot_sn);
  Subscribe<Stream::Extra>(node, robot_sn);
  return _MakeRmxState(OK);
}

void DataStream::BasicSubCallback() { Publish<Stream::Basic>(); }

void DataStream::ExtraSubCallback() { Publish<Stream::Extra>(); }

std::uint16_t DataStream::GetSystemState() { return ReadBasic(&Basic::system_state); }
std::int16_t DataStream::GetSafetyBoardState() { return ReadBasic(&Basic::safety_board_state); }
std::array<bool, 8> DataStream::GetSafetyInputs() { return ReadBasic(&Basic::safety_inputs); }
bool DataStream::IsEstopReleased() { return ReadBasic(&Basic::estop_released); }
bool DataStream::IsEnablingDeviceOn() { return ReadBasic(&Basic::enabling_device_on); }
std::array<bool, 20> DataStream::GetDigitalInput() { return ReadBasic(&Basic::digital_inputs); }
std::array<bool, 20> DataStream::GetDigitalOutput() { return ReadBasic(&Basic::digital_outputs); }

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
  return basic ? JointGroups<Stream::Basic>() : JointGroups<Stream::Extra>();
}

std::map<quor::JointGroup, quor::RobotStates> DataStream::GetRobotStates(
    const GroupNames& group_names, const StartIds& start_ids, const Dofs& dofs,
    std::size_t joint_count) {
  std::lock_guard<std::mutex> lock(basic_mutex);
  return Logged(AssembleRobotStates(basic_latest, group_names, start_ids, dofs, joint_count));
}

MultiContactMap DataStream::GetMultiContactPositions(const GroupNames& group_names,
                                                     const StartIds& start_ids, const Dofs& dofs) {
  std::lock_guard<std::mutex> lock(basic_mutex);
  return Logged(AssembleMultiContactPositions(basic_latest, group_names, start_ids, dofs));
}

MultiContactMap DataStream::GetMultiContactForces(const GroupNames& group_names,
                                                  const StartIds& start_ids, const Dofs& dofs) {
  std::lock_guard<std::mutex> lock(basic_mutex);
  return Logged(AssembleMultiContactForces(basic_latest, group_names, start_ids, dofs));
}

void DataStream::SetExtWrenchInWorld(quor::RobotStates& states) {
  quor_impl::SetExtWrenchInWorld(states);
}

std::map<quor::JointGroup, quor::RobotActions> DataStream::GetRobotActions(
    const GroupNames& group_names, const StartIds& start_ids, const Dofs& dofs,
    std::size_t joint_count) {
  const auto timestamp = GetLatestBasicStamp();
  std::lock_guard<std::mutex> lock(extra_mutex);
  return Logged(
      AssembleRobotActions(timestamp, extra_latest, group_names, start_ids, dofs, joint_count));
}

}  // namespace korvel::quor_impl
