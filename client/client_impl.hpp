#pragma once
// What a connected Client holds: the middleware and the joint-group layout learnt while
// connecting. After construction nothing here changes, so readers need no lock.

#include <cstddef>
#include <map>
#include <memory>
#include <string>

#include "client/client.hpp"
#include "client/group_layout.hpp"
#include "client/quor_client.hpp"

namespace korvel::quor {

// Runs the connection sequence and keeps what it learnt.
class Client::Impl {
 public:
  Impl(const std::string& robot_sn, bool verbose);
  virtual ~Impl() = default;

  std::map<JointGroup, PrimitiveStates> primitive_states();

  std::shared_ptr<quor_impl::QuorClient> quor_client;
  bool verbose;
  quor_impl::StartIds start_ids;
  quor_impl::Dofs dofs;
  quor_impl::GroupNames group_names;
  std::string serial;  // normalized
  // Length of the robot's full joint lists when the client connected; 0 when no sample had
  // arrived by then.
  std::size_t joint_count = 0;
};

}  // namespace korvel::quor
