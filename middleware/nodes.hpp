#pragma once
// Carriers of the shared session to the two sides of the client: ReliableNode to the RPC
// side, RealtimeNode to the stream side. Both hold the same process-wide session.

#include <memory>

#include "zenoh/session.hpp"

namespace korvel::zenoh_mdw {

struct ReliableNode {
  std::shared_ptr<zenoh::Session> session;
};

struct RealtimeNode {
  std::shared_ptr<zenoh::Session> session;
};

}  // namespace korvel::zenoh_mdw
