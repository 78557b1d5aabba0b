#pragma once
// The one public entry point: a read-only client of one robot controller.
//
// Construction finds the robot on the zenoh network, checks that its server speaks this
// client's protocol version, learns the joint-group layout and only then returns; it
// throws otherwise and leaves nothing behind. Afterwards every accessor either reads the
// latest cached stream data or performs one blocking remote call. Accessors may be called
// from several threads at once.

#include <array>
#include <map>
#include <memory>
#include <string>
#include <utility>

#include "client/joint_group.hpp"
#include "client/records.hpp"

namespace korvel::quor_impl {
class ClientAccess;
}  // namespace korvel::quor_impl

namespace korvel::quor {

// The protocol version of this client; the robot's server must report exactly this.
inline constexpr const char* kClientVersion = "v2.1";

class Client {
 public:
  // `robot_sn`: the robot's serial number, e.g. "AB-4s-012345" or "AB 4s-012345".
  // Throws std::invalid_argument for a malformed serial number, std::runtime_error when
  // the robot cannot be reached or does not answer, std::logic_error when its server
  // speaks another protocol version, and zenoh::ZException when the zenoh session or a
  // subscription cannot be made.
  explicit Client(const std::string& robot_sn, bool verbose = true);
  virtual ~Client();

  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  // One live probe per call; blocks up to 1 s when the robot does not answer.
  bool connected() const;

  // Joint groups named by the latest basic stream sample, with their names.
  std::map<JointGroup, std::string> groups() const;
  // Measured states per joint group; empty (and an error logged) when the cached data
  // does not fit the layout learnt at connection.
  std::map<JointGroup, RobotStates> states() const;
  // Desired values per joint group, stamped with the latest basic stream timestamp.
  std::map<JointGroup, RobotActions> actions() const;

  // Remote calls; each throws std::runtime_error when the robot gives no usable reply.
  std::map<JointGroup, PrimitiveStates> primitive_states() const;
  std::map<JointGroup, std::pair<double, double>> configuration_score() const;
  PlanInfo plan_info() const;

  // Status of the latest basic stream sample; all false before the first one arrives.
  bool estop_released() const;
  bool enabling_device_on() const;
  std::array<bool, 20> digital_inputs() const;
  std::array<bool, 20> digital_outputs() const;

  class Impl;

 private:
  // Companions built beside the client (capture, stream status) read its layout and
  // streams through this, so the class keeps exactly its own members.
  friend class quor_impl::ClientAccess;

  std::unique_ptr<Impl> impl;
};

}  // namespace korvel::quor
