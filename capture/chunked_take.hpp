#pragma once
// A drain takes what its rings held when it began, a chunk at a time, so that a delivering
// thread waits at most for one chunk's swaps while the reader works through a long backlog.

#include <algorithm>
#include <cstddef>
#include <vector>

#include "capture/sample_ring.hpp"

namespace korvel::quor_impl {

// What a drain still owes the reader from one ring.
template <class Message>
class RingTake {
 public:
  using Sample = CapturedSample<Message>;

  RingTake(SampleRing<Message>& ring, std::vector<Sample>& out)
      : ring_(ring), out_(out), left_(ring.size()) {}

  // Takes the next chunk; true while samples are still owed. The ring's byte budget may have
  // dropped owed samples since the last chunk, so what is owed never exceeds what it holds.
  bool TakeChunk(std::size_t chunk) {
    left_ -= ring_.Take(std::min(left_, chunk), out_, used_);
    left_ = std::min(left_, ring_.size());
    return left_ != 0;
  }

  std::size_t used() const noexcept { return used_; }

 private:
  SampleRing<Message>& ring_;
  std::vector<Sample>& out_;
  std::size_t used_ = 0;
  std::size_t left_;
};

// Takes chunks from every ring until none owes anything; `between` runs between two rounds
// (the owner unlocks and relocks there, letting deliveries in).
template <class Between, class... Takes>
void TakeInChunks(std::size_t chunk, Between&& between, Takes&... takes) {
  while (true) {
    bool owed = false;
    ((owed = takes.TakeChunk(chunk) || owed), ...);
    if (!owed) return;
    between();
  }
}

}  // namespace korvel::quor_impl
