#include "client/rmx_state.hpp"

namespace korvel {
namespace {

class RmxGeneralStateCategoryImpl final : public RmxStateCategory {
 public:
  const char* name() const override { return "General"; }

  const char* message(std::int32_t code) const override {
    switch (code) {
      case OK:
        return "OK";
      case WARNING:
        return "Warning";
      case FAULT:
        return "Fault";
      case CRITICAL_FAULT:
        return "Critical fault";
      default:
        return "(unrecognized)";
    }
  }
};

}  // namespace

const RmxStateCategory& RmxGeneralStateCategory() {
  static const RmxGeneralStateCategoryImpl category;
  return category;
}

RmxState _MakeRmxState(RmxGeneralState code) { return RmxState{code, &RmxGeneralStateCategory()}; }

}  // namespace korvel
