#pragma once
// A declared querier, used only to learn whether zenoh knows a queryable that a query on its
// key expression would reach: peers are discovered some milliseconds after a session opens,
// and until then a query ends at once, unanswered.

#include "zenoh/exception.hpp"
#include "zenoh/owned.hpp"
#include "zenoh/transport.h"

namespace zenoh::inline kq {

class Querier {
 public:
  // False also when zenoh cannot tell.
  bool has_matching_queryables() const noexcept {
    bool matching = false;
    return ::kz_querier_has_matching(handle_.get(), &matching) == Z_OK && matching;
  }

 private:
  friend class Session;
  explicit Querier(KzQuerier* handle) noexcept : handle_(handle) {}

  detail::Owned<KzQuerier, &::kz_querier_undeclare> handle_;
};

}  // namespace zenoh::inline kq
