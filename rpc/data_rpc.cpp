#include "rpc/data_rpc.hpp"

#include <spdlog/spdlog.h>

#include "middleware/topics.hpp"
#include "rpc/plan_info.hpp"
#include "rpc/start_id_reply.hpp"

namespace korvel::quor_impl {

using zenoh_msgs::quor_msg::RPCReply;
using zenoh_msgs::quor_msg::RPCRequest;

namespace {

RPCRequest MakeRequest(std::uint16_t id) {
  RPCRequest request;
  request.request_id = id;
  return request;
}

}  // namespace

RmxState DataRpc::Init(const zenoh_mdw::ReliableNode& node, const std::string& robot_sn) {
  const std::string key_expr =
      std::string(zenoh_mdw::kTopicPrefix) + robot_sn + zenoh_mdw::kRpcSuffix;
  spdlog::debug("[korvel::quor::Client] Creating RPC client on topic: {}", key_expr);
  rpc_client = std::make_shared<Rpc>(node.session, key_expr);
  return _MakeRmxState(OK);
}

bool DataRpc::Send(const RPCRequest& request, RPCReply& reply, double timeout) {
  // Before Init there is nobody to ask: the same answer as an absent robot.
  if (!rpc_client || !rpc_client->SendRequestAndGetReply(request, reply, timeout)) {
    spdlog::debug("Failed to send remote call or server reply timeout");
    return false;
  }
  return true;
}

bool DataRpc::Call(const RPCRequest& request, RPCReply& reply, double timeout) {
  if (!Send(request, reply, timeout)) return false;
  if (!reply.success || reply.request_id != request.request_id) {
    spdlog::debug("Remote procedure failed");
    return false;
  }
  return true;
}

bool DataRpc::IsConnected() {
  const RPCRequest request = MakeRequest(kProbeRequest);
  RPCReply reply;
  if (!Send(request, reply, kProbeTimeout)) return false;
  if (reply.success || reply.request_id != kProbeRequest) {
    spdlog::debug("Remote procedure failed");
    return false;
  }
  return true;
}

bool DataRpc::WaitForServer(double timeout) {
  return rpc_client && rpc_client->WaitForServer(timeout);
}

RmxState DataRpc::RequestStringList(std::uint16_t id, std::vector<std::string>& out) {
  RPCReply reply;
  if (!Call(MakeRequest(id), reply, kRequestTimeout)) return _MakeRmxState(FAULT);
  spdlog::debug(
      "[korvel::quor::DataRpc] RPC reply request_id={} success={} string_container_size={}",
      reply.request_id, reply.success, reply.string_container.size());
  for (std::size_t i = 0; i < reply.string_container.size(); ++i) {
    spdlog::debug("[korvel::quor::DataRpc] string_container[{}] = {}", i,
                  reply.string_container[i]);
  }
  out = std::move(reply.string_container);
  return _MakeRmxState(OK);
}

RmxState DataRpc::RequestFloatList(std::uint16_t id, std::vector<double>& out) {
  RPCReply reply;
  if (!Call(MakeRequest(id), reply, kRequestTimeout)) return _MakeRmxState(FAULT);
  out.assign(reply.float_container.begin(), reply.float_container.end());
  return _MakeRmxState(OK);
}

RmxState DataRpc::RequestQuorVersion(std::string& version) {
  std::vector<std::string> list;
  if (RequestStringList(kVersionRequest, list).code != OK) return _MakeRmxState(FAULT);
  if (list.empty()) return _MakeRmxState(FAULT);
  version = list.front();
  spdlog::debug("Received QUOR server version = {}", version);
  return _MakeRmxState(OK);
}

RmxState DataRpc::RequestPtStates(std::vector<std::string>& out) {
  return RequestStringList(kPtStatesRequest, out);
}

RmxState DataRpc::RequestStartIdAndDoF(const std::vector<quor::JointGroup>& groups,
                                       StartIds& start_ids, Dofs& dofs) {
  RPCRequest request = MakeRequest(kStartIdAndDofRequest);
  request.joint_groups.reserve(groups.size());
  for (const auto group : groups) {
    request.joint_groups.push_back(static_cast<std::uint16_t>(static_cast<int>(group)));
  }
  RPCReply reply;
  if (!Call(request, reply, kRequestTimeout)) return _MakeRmxState(FAULT);
  return ReadStartIdAndDoF(reply, start_ids, dofs);
}

RmxState DataRpc::RequestPlanInfo(quor::PlanInfo& info) {
  std::vector<std::string> list;
  if (RequestStringList(kPlanInfoRequest, list).code != OK) return _MakeRmxState(FAULT);
  return ReadPlanInfo(list, info);
}

RmxState DataRpc::RequestManipulability(ManipulabilityMap& out) {
  RPCReply reply;
  if (!Call(MakeRequest(kManipulabilityRequest), reply, kRequestTimeout)) {
    return _MakeRmxState(FAULT);
  }
  return ReadManipulability(reply, out);
}

}  // namespace korvel::quor_impl
