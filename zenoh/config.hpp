#pragma once
// A zenoh configuration. Only zenoh's defaults are offered: the client reads no files and
// no environment.

#include <utility>

#include "zenoh/exception.hpp"
#include "zenoh/transport.h"

namespace zenoh::inline kq {

class Config {
 public:
  static Config create_default(ZResult* err = nullptr) {
    KzConfig* handle = nullptr;
    const ZResult code = ::kz_config_default(&handle);
    if (code != Z_OK) {
      if (err == nullptr) throw ZException("Failed to create default configuration", code);
      *err = code;
    }
    return Config(handle);
  }

  Config(Config&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
  Config& operator=(Config&& other) noexcept {
    if (this != &other) {
      reset();
      handle_ = std::exchange(other.handle_, nullptr);
    }
    return *this;
  }
  Config(const Config&) = delete;
  Config& operator=(const Config&) = delete;
  ~Config() { reset(); }

  bool valid() const noexcept { return handle_ != nullptr; }
  // Hands the handle to whoever consumes the configuration (opening a session).
  KzConfig* release() noexcept { return std::exchange(handle_, nullptr); }

 private:
  explicit Config(KzConfig* handle) noexcept : handle_(handle) {}
  void reset() noexcept {
    if (handle_ != nullptr) ::kz_config_drop(std::exchange(handle_, nullptr));
  }

  KzConfig* handle_ = nullptr;
};

}  // namespace zenoh::inline kq
