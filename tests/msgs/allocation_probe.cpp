#include "tests/msgs/allocation_probe.hpp"

#include <cstdlib>
#include <new>

namespace {
thread_local bool g_armed = false;
thread_local std::size_t g_largest = 0;
}  // namespace

namespace kq_test {

AllocationProbe::AllocationProbe() {
  g_largest = 0;
  g_armed = true;
}

AllocationProbe::~AllocationProbe() { g_armed = false; }

std::size_t AllocationProbe::largest() const { return g_largest; }

}  // namespace kq_test

void* operator new(std::size_t size) {
  if (g_armed && size > g_largest) g_largest = size;
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}

void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
