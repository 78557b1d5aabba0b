#pragma once
// The client's query layer: which request id selects which remote procedure, the check of
// every reply against what was asked, and the conversion of the reply's generic
// containers into the client's own data. Operations return a result state and log the
// reason of a failure; none throws for a bad or missing reply.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "client/group_layout.hpp"
#include "client/joint_group.hpp"
#include "client/records.hpp"
#include "client/rmx_state.hpp"
#include "middleware/nodes.hpp"
#include "middleware/rpc_client.hpp"
#include "msgs/rpc_reply.hpp"
#include "msgs/rpc_request.hpp"
#include "rpc/manipulability.hpp"

namespace korvel::quor_impl {

// Remote procedures of the robot's RPC server.
inline constexpr std::uint16_t kProbeRequest = 0;
inline constexpr std::uint16_t kVersionRequest = 1;
inline constexpr std::uint16_t kPtStatesRequest = 3;
inline constexpr std::uint16_t kPlanInfoRequest = 4;
inline constexpr std::uint16_t kManipulabilityRequest = 9;
inline constexpr std::uint16_t kStartIdAndDofRequest = 10;

inline constexpr double kProbeTimeout = 1.0;
inline constexpr double kRequestTimeout = 2.0;

class DataRpc {
 public:
  using Rpc =
      zenoh_mdw::RpcClient<zenoh_msgs::quor_msg::RPCRequest, zenoh_msgs::quor_msg::RPCReply>;

  DataRpc() = default;
  virtual ~DataRpc() = default;

  DataRpc(const DataRpc&) = delete;
  DataRpc& operator=(const DataRpc&) = delete;

  // Creates the RPC client on "korvel/robot/" + robot_sn + "/rpc"; sends nothing.
  RmxState Init(const zenoh_mdw::ReliableNode& node, const std::string& robot_sn);

  // The probe: true only for a reply that echoes request 0 and is NOT flagged a success.
  bool IsConnected();

  // Waits up to `timeout` until zenoh knows the robot's RPC queryable (sends nothing).
  bool WaitForServer(double timeout);

  RmxState RequestStringList(std::uint16_t id, std::vector<std::string>& out);
  RmxState RequestFloatList(std::uint16_t id, std::vector<double>& out);
  RmxState RequestQuorVersion(std::string& version);
  RmxState RequestPtStates(std::vector<std::string>& out);
  RmxState RequestStartIdAndDoF(const std::vector<quor::JointGroup>& groups, StartIds& start_ids,
                                Dofs& dofs);
  RmxState RequestPlanInfo(quor::PlanInfo& info);
  RmxState RequestManipulability(ManipulabilityMap& out);

 private:
  // Sends one request and accepts only a reply flagged a success that echoes its id.
  bool Call(const zenoh_msgs::quor_msg::RPCRequest& request, zenoh_msgs::quor_msg::RPCReply& reply,
            double timeout);
  // Sends one request; false (after the debug line) when nothing decodable came back.
  bool Send(const zenoh_msgs::quor_msg::RPCRequest& request, zenoh_msgs::quor_msg::RPCReply& reply,
            double timeout);

  std::shared_ptr<Rpc> rpc_client;
};

}  // namespace korvel::quor_impl
