#pragma once
// Every sample of a client's two streams, in arrival order, kept in a bounded buffer until a
// reader takes it. The client's own subscriptions feed it: nothing more is subscribed and no
// sample is decoded twice. zenoh's delivery threads only copy a sample in; when the buffer of
// a stream is full its oldest sample goes, and the loss is counted.
//
//   korvel::quor::Capture capture(client);
//   while (running) {
//     capture.Wait(std::chrono::milliseconds(100));
//     const korvel::quor::CaptureBatch batch = capture.Drain();
//     ... batch.basic.groups.at(korvel::quor::JointGroup::ARM_1).q ...
//   }
//
// Several captures may watch one client. A capture may outlive its client: it then keeps
// what it had received, and Drain throws std::runtime_error once that has been taken.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

#include "capture/columns.hpp"
#include "client/client.hpp"
#include "client/stream.hpp"

namespace korvel::quor_impl {
class CaptureCore;
class StreamMonitor;
}  // namespace korvel::quor_impl

namespace korvel::quor {

struct CaptureOptions {
  std::size_t capacity = 10000;  // samples per stream: 10 s at 1 kHz
  bool keep_payloads = false;    // also keep every payload as received (batch.*.raw)
  // Storage per stream beyond which the oldest samples go (counted as dropped), whatever
  // the capacity: a robot's samples take a few KiB each, a flood of huge ones cannot
  // make a capture exhaust the memory.
  std::size_t max_bytes = std::size_t{256} << 20;
  // False: batches hold only the raw samples (with keep_payloads), no rows and no groups:
  // what a recorder needs, for less work per sample and per drain.
  bool columns = true;
};

class Capture {
 public:
  // Captures from now on. Throws std::invalid_argument for a capacity or max_bytes of 0, or
  // for neither columns nor payloads.
  explicit Capture(const Client& client, CaptureOptions options = {});
  // Stops capturing.
  ~Capture();

  Capture(const Capture&) = delete;
  Capture& operator=(const Capture&) = delete;

  // Everything received since the previous Drain, oldest first. Calls from several threads
  // are served one after the other; each sample is handed out exactly once. Throws
  // std::runtime_error when the client is gone and nothing is left.
  CaptureBatch Drain();

  // Blocks until a sample is waiting to be drained (true), `timeout` has passed or the
  // capture has stopped receiving (false).
  bool Wait(std::chrono::nanoseconds timeout);

  // Samples waiting to be drained, both streams together.
  std::size_t Pending() const;
  // Samples of a stream dropped unseen because the buffer was full.
  std::uint64_t Dropped(Stream stream) const;
  std::size_t capacity() const noexcept { return options_.capacity; }
  bool keeps_payloads() const noexcept { return options_.keep_payloads; }
  // False once the client was destroyed or Close was called.
  bool Receiving() const;

  // Stops receiving; what was received can still be drained.
  void Close();

 private:
  CaptureOptions options_;
  std::shared_ptr<quor_impl::CaptureCore> core_;
  std::weak_ptr<quor_impl::StreamMonitor> monitor_;
  std::mutex drain_mutex_;
};

}  // namespace korvel::quor
