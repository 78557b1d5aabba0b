#pragma once
// The list storage a stream message holds, and copies that give back what one huge sample
// made them hold. Lists keep their capacity from sample to sample (so that steady samples
// allocate nothing); without this a single sample of millions of elements, which decodes
// like any other, would keep its memory pinned in every buffer it passed through.

#include <cstddef>

#include "msgs/basic_stream_data.hpp"
#include "msgs/extra_stream_data.hpp"

namespace korvel::zenoh_msgs::quor_msg {

// Storage beyond which a buffer is given back rather than kept for the next sample: a
// thousand times what a two-arm robot's message needs.
inline constexpr std::size_t kKeptStorageBytes = 1 << 20;

// Bytes of list storage (capacity, not size) held by the message.
std::size_t HeldBytes(const AllBasicStreamData& message);
std::size_t HeldBytes(const AllExtraStreamData& message);

// Returns freed memory to the system. After a huge block is freed the C library keeps it
// for the next allocation of that size; a flood of huge samples would leave the process
// that much larger for good.
void ReleaseFreedMemory() noexcept;

// Gives back the storage of a message held only for reuse, once it has grown too large.
template <class Message>
void TrimStorage(Message& message) {
  if (HeldBytes(message) > kKeptStorageBytes) {
    message = Message{};
    ReleaseFreedMemory();
  }
}

// to = from, reusing to's storage unless that has grown too large for what from needs.
template <class Message>
void CopyTrimmed(const Message& from, Message& to) {
  if (HeldBytes(to) > kKeptStorageBytes && HeldBytes(to) > 2 * HeldBytes(from)) {
    to = Message(from);
    ReleaseFreedMemory();
  } else {
    to = from;
  }
}

}  // namespace korvel::zenoh_msgs::quor_msg
