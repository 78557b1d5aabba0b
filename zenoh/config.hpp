#pragma once
// A zenoh configuration. Only zenoh's defaults are offered: the client reads no files and
// no environment.

#include "zenoh/exception.hpp"
#include "zenoh/failure.hpp"
#include "zenoh/owned.hpp"
#include "zenoh/transport.h"

namespace zenoh::inline kq {

class Config {
 public:
  static Config create_default(ZResult* err = nullptr) {
    KzConfig* handle = nullptr;
    const ZResult code = ::kz_config_default(&handle);
    if (code != Z_OK) detail::report_failure(code, "Failed to create default configuration", err);
    return Config(handle);
  }

  bool valid() const noexcept { return static_cast<bool>(handle_); }
  // Hands the handle to whoever consumes the configuration (opening a session).
  KzConfig* release() noexcept { return handle_.release(); }

 private:
  explicit Config(KzConfig* handle) noexcept : handle_(handle) {}

  detail::Owned<KzConfig, &::kz_config_drop> handle_;
};

}  // namespace zenoh::inline kq
