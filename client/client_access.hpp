#pragma once
// Reaches what a connected Client learnt and holds, for the companions built beside it
// (the capture, the stream status) without adding members to Client itself.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>

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
  // The extra stream's joint lists' length, learnt from its first sample (its lists may be
  // longer than the basic ones); unknown until that sample arrives.
  std::optional<std::size_t> extra_joint_count;
};

class ClientAccess {
 public:
  static ClientLayout Layout(const quor::Client& client);
  // Full joint lists' length at connection (0 when unknown), without copying the layout.
  static std::size_t JointCount(const quor::Client& client);
  // The extra stream's learnt length (see ClientLayout), without copying the layout.
  static std::optional<std::size_t> ExtraJointCount(const quor::Client& client);
  // The latest basic sample's timestamp, as actions() stamps its records ((0, 0) before the
  // first sample).
  static std::pair<std::int32_t, std::int32_t> LatestBasicStamp(const quor::Client& client);
  // The monitor of the client's own streams (no second subscription is made).
  static std::shared_ptr<StreamMonitor> Monitor(const quor::Client& client);
};

}  // namespace korvel::quor_impl
