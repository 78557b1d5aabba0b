#pragma once
// Reaches what a connected Client learnt and holds, for the companions built beside it
// (the capture, the stream status) without adding members to Client itself.

#include <cstddef>
#include <memory>
#include <string>

#include "client/client.hpp"
#include "client/group_layout.hpp"
#include "stream/stream_monitor.hpp"

namespace korvel::quor_impl {

// The layout a client learnt while connecting; it holds for the client's lifetime.
struct ClientLayout {
  std::string serial;  // normalized
  GroupNames group_names;
  StartIds start_ids;
  Dofs dofs;
  std::size_t joint_count = 0;  // full joint lists' length at connection; 0 when unknown
};

class ClientAccess {
 public:
  static ClientLayout Layout(const quor::Client& client);
  // Full joint lists' length at connection (0 when unknown), without copying the layout.
  static std::size_t JointCount(const quor::Client& client);
  // The monitor of the client's own streams (no second subscription is made).
  static std::shared_ptr<StreamMonitor> Monitor(const quor::Client& client);
};

}  // namespace korvel::quor_impl
