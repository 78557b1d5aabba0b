#pragma once
// Measures the largest single heap allocation made on the calling thread while a probe
// is alive, so a test can show that a hostile count did not make the decoder reserve
// memory for it. The test executable replaces the global operator new to feed it.

#include <cstddef>

namespace kq_test {

class AllocationProbe {
 public:
  AllocationProbe();
  ~AllocationProbe();
  AllocationProbe(const AllocationProbe&) = delete;
  AllocationProbe& operator=(const AllocationProbe&) = delete;

  std::size_t largest() const;
};

}  // namespace kq_test
