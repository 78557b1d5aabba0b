#include "client/client_access.hpp"

#include "client/client_impl.hpp"

namespace korvel::quor_impl {

ClientLayout ClientAccess::Layout(const quor::Client& client) {
  const quor::Client::Impl& impl = *client.impl;
  return {impl.serial, impl.group_names, impl.start_ids,
          impl.dofs,   impl.joint_count, impl.quor_client->data_stream.GetExtraJointCount()};
}

std::optional<std::size_t> ClientAccess::ExtraJointCount(const quor::Client& client) {
  return client.impl->quor_client->data_stream.GetExtraJointCount();
}

std::pair<std::int32_t, std::int32_t> ClientAccess::LatestBasicStamp(const quor::Client& client) {
  return client.impl->quor_client->data_stream.GetLatestBasicStamp();
}

std::size_t ClientAccess::JointCount(const quor::Client& client) {
  return client.impl->joint_count;
}

std::shared_ptr<StreamMonitor> ClientAccess::Monitor(const quor::Client& client) {
  return client.impl->quor_client->data_stream.Monitor();
}

}  // namespace korvel::quor_impl
