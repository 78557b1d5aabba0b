#include "client/version.hpp"

namespace korvel::quor {

const char* LibraryVersion() noexcept { return KQ_VERSION; }

}  // namespace korvel::quor
