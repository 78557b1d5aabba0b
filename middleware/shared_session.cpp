#include "middleware/shared_session.hpp"

#include <mutex>

namespace korvel::zenoh_mdw {

std::shared_ptr<zenoh::Session> GetSharedZenohSession() {
  static std::mutex mutex;
  static std::weak_ptr<zenoh::Session> weak;

  std::lock_guard<std::mutex> lock(mutex);
  if (auto session = weak.lock()) return session;
  auto config = zenoh::Config::create_default();
  auto session = std::make_shared<zenoh::Session>(zenoh::Session::open(std::move(config)));
  weak = session;
  return session;
}

}  // namespace korvel::zenoh_mdw
