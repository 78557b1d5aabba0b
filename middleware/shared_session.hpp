#pragma once
// The one zenoh session of the process. It is opened on first use, shared while anyone
// holds it, closed when the last holder lets go, and opened afresh by the next caller.

#include <memory>

#include "zenoh/session.hpp"

namespace korvel::zenoh_mdw {

// Never null. Throws zenoh::ZException "Failed to create default configuration" or
// "Failed to open session"; nothing is cached then and the next call tries again.
std::shared_ptr<zenoh::Session> GetSharedZenohSession();

}  // namespace korvel::zenoh_mdw
