#pragma once
// The result state that internal operations return instead of throwing: a numeric code
// judged by comparison (success is exactly OK; a code above 299999 is a fault) and the
// category that can name it.

#include <cstdint>

namespace korvel {

// Unscoped on purpose: codes are compared numerically with plain integers.
enum RmxGeneralState : std::int32_t {
  OK = 100000,
  WARNING = 200000,
  FAULT = 300000,
  CRITICAL_FAULT = 400000,
};

class RmxStateCategory {
 public:
  virtual ~RmxStateCategory() = default;
  virtual const char* name() const = 0;
  virtual const char* message(std::int32_t code) const = 0;
};

struct RmxState {
  std::int32_t code;
  const RmxStateCategory* category;
};

// The one category of this system, created on first use and alive until process exit.
const RmxStateCategory& RmxGeneralStateCategory();

RmxState _MakeRmxState(RmxGeneralState code);

}  // namespace korvel
