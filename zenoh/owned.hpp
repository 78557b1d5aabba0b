#pragma once
// One owned transport handle: move-only, released exactly once by its release function.
// Config, Session, Subscriber and Querier each hold one, so they share these semantics.

#include <utility>

namespace zenoh::inline kq::detail {

template <class Handle, void (*Release)(Handle*)>
class Owned {
 public:
  Owned() noexcept = default;
  explicit Owned(Handle* handle) noexcept : handle_(handle) {}
  Owned(Owned&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
  Owned& operator=(Owned&& other) noexcept {
    if (this != &other) {
      reset();
      handle_ = std::exchange(other.handle_, nullptr);
    }
    return *this;
  }
  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;
  ~Owned() { reset(); }

  Handle* get() const noexcept { return handle_; }
  // Hands the handle to whoever consumes it; this no longer releases it.
  Handle* release() noexcept { return std::exchange(handle_, nullptr); }
  void reset() noexcept {
    if (handle_ != nullptr) Release(std::exchange(handle_, nullptr));
  }
  explicit operator bool() const noexcept { return handle_ != nullptr; }

 private:
  Handle* handle_ = nullptr;
};

}  // namespace zenoh::inline kq::detail
