#pragma once
// The stream side of the client: subscribes to the robot's basic and extra streams, keeps
// the latest decoded message of each, and answers every data question from that cache.
// Until the first sample every getter answers from the default (all-zero) message; after
// the robot stops publishing it keeps answering from the last one received.

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "client/group_layout.hpp"
#include "client/joint_group.hpp"
#include "client/records.hpp"
#include "client/rmx_state.hpp"
#include "middleware/nodes.hpp"
#include "middleware/subscriber.hpp"
#include "msgs/basic_stream_data.hpp"
#include "msgs/extra_stream_data.hpp"
#include "stream/assembly.hpp"
#include "stream/stream_monitor.hpp"
#include "stream/stream_traits.hpp"

namespace korvel::quor_impl {

class DataStream {
 public:
  DataStream() = default;
  // Drops both subscriptions, then waits for a callback still copying a message.
  virtual ~DataStream();

  DataStream(const DataStream&) = delete;
  DataStream& operator=(const DataStream&) = delete;

  // Subscribes to the basic stream, then the extra one; samples may arrive before it
  // returns. A subscription that cannot be made throws its zenoh::ZException.
  RmxState Init(const zenoh_mdw::RealtimeNode& node, const std::string& robot_sn);

  // Called by the subscribers after each decoded sample: publish it to the readers.
  void BasicSubCallback();
  void ExtraSubCallback();

  std::uint16_t GetSystemState();
  std::int16_t GetSafetyBoardState();
  std::array<bool, 8> GetSafetyInputs();
  bool IsEstopReleased();
  bool IsEnablingDeviceOn();
  std::array<bool, 20> GetDigitalInput();
  std::array<bool, 20> GetDigitalOutput();

  // Length of the full joint lists in the basic cache (0 before the first sample).
  std::size_t GetJointCount();
  // Length of the extra stream's joint lists in its first sample; none before it. The extra
  // stream's layout check compares with this, not with the basic stream's length.
  std::optional<std::size_t> GetExtraJointCount();
  // The basic cache's timestamp, as GetRobotActions stamps its records.
  std::pair<std::int32_t, std::int32_t> GetLatestBasicStamp();

  // The joint groups named by the basic (true) or extra (false) cache.
  GroupNames GetJointGroups(bool basic);

  // `joint_count`: the length the stream's full joint lists must have (the basic stream's
  // when the client connected, the extra stream's own first one); 0: unknown, not checked.
  std::map<quor::JointGroup, quor::RobotStates> GetRobotStates(const GroupNames& group_names,
                                                               const StartIds& start_ids,
                                                               const Dofs& dofs,
                                                               std::size_t joint_count = 0);
  MultiContactMap GetMultiContactPositions(const GroupNames& group_names, const StartIds& start_ids,
                                           const Dofs& dofs);
  MultiContactMap GetMultiContactForces(const GroupNames& group_names, const StartIds& start_ids,
                                        const Dofs& dofs);
  void SetExtWrenchInWorld(quor::RobotStates& states);
  std::map<quor::JointGroup, quor::RobotActions> GetRobotActions(const GroupNames& group_names,
                                                                 const StartIds& start_ids,
                                                                 const Dofs& dofs,
                                                                 std::size_t joint_count = 0);

  // Counts both streams and hands every sample to attached sinks (captures). It lives as
  // long as its longest holder; once this DataStream is gone it delivers nothing more.
  std::shared_ptr<StreamMonitor> Monitor() const { return monitor; }

 private:
  using Basic = MessageOf<Stream::Basic>;
  using Extra = MessageOf<Stream::Extra>;

  // One stream's members, as a tuple of references: (subscriber, receive, latest, mutex).
  template <Stream S>
  auto Members();
  template <Stream S>
  void Subscribe(const zenoh_mdw::RealtimeNode& node, const std::string& robot_sn);
  // The stream's callback: publish the received message to the readers.
  template <Stream S>
  void Publish();
  template <Stream S>
  GroupNames JointGroups();
  // One field of the basic cache, copied under its lock.
  template <class T>
  T ReadBasic(T Basic::* field) {
    std::lock_guard<std::mutex> lock(basic_mutex);
    return basic_latest.*field;
  }

  // Made before the subscriptions that report to it and told last that they are gone.
  std::shared_ptr<StreamMonitor> monitor = std::make_shared<StreamMonitor>();
  std::shared_ptr<zenoh_mdw::Subscriber<Basic>> basic_subscriber;
  std::shared_ptr<zenoh_mdw::Subscriber<Extra>> extra_subscriber;
  // Written only by their subscriber's handler and read only by the callback it calls.
  Basic basic_receive;
  Extra extra_receive;
  // What readers see, each under its own mutex.
  Basic basic_latest;
  Extra extra_latest;
  std::optional<std::size_t> extra_joint_count;  // under extra_mutex
  std::mutex basic_mutex;
  std::mutex extra_mutex;
};

}  // namespace korvel::quor_impl
