#pragma once
// A key expression checked (and by default canonized) by zenoh itself.

#include <string>
#include <string_view>

#include "zenoh/exception.hpp"
#include "zenoh/failure.hpp"
#include "zenoh/transport.h"

namespace zenoh::inline kq {

class KeyExpr {
 public:
  // Throws ZException "Failed to construct KeyExpr from: <text>" when zenoh refuses the
  // expression (or, without autocanonization, when it is not already canonical, or when it
  // is longer than zenoh can carry), unless a result sink is given.
  explicit KeyExpr(std::string_view key_expr, bool autocanonize = true, ZResult* err = nullptr)
      : text_(key_expr) {
    std::size_t len = text_.size();
    ZResult code = ::kz_keyexpr_autocanonize(text_.data(), &len);
    if (code == Z_OK && !autocanonize && len != text_.size()) code = Z_EINVAL;
    if (code != Z_OK) {
      text_.clear();
      detail::report_failure(code, "Failed to construct KeyExpr from: " + std::string(key_expr),
                             err);
      return;
    }
    text_.resize(len);
    if (err != nullptr) *err = Z_OK;
  }

  std::string_view as_string_view() const noexcept { return text_; }

  friend bool operator==(const KeyExpr&, const KeyExpr&) = default;

 private:
  std::string text_;
};

}  // namespace zenoh::inline kq
