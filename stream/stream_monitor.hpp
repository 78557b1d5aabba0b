#pragma once
// Watches both streams of one DataStream on zenoh's delivery threads: counts what arrives,
// so that freshness can be told without a round trip, and hands every sample, decodable or
// not, to the sinks attached to it (captures, recorders). The cache is fed as before; a
// sample is decoded once whatever is attached.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <tuple>
#include <vector>

#include "middleware/sample_tap.hpp"
#include "stream/stream_traits.hpp"

namespace korvel::quor_impl {

// When a sample reached this host, on both of its clocks.
struct SampleTime {
  std::int64_t system_ns = 0;  // wall clock, nanoseconds since the Unix epoch
  std::int64_t steady_ns = 0;  // monotonic clock (CLOCK_MONOTONIC), nanoseconds
};

SampleTime NowSampleTime();

// Receives every sample of both streams (told apart by their message type), on the
// delivering thread. Must not throw and must return quickly: the stream's next sample
// waits for it.
class StreamSink {
 public:
  virtual ~StreamSink() = default;
  virtual void OnSample(const SampleTime& time, zenoh::ByteView payload,
                        const MessageOf<Stream::Basic>* decoded) noexcept = 0;
  virtual void OnSample(const SampleTime& time, zenoh::ByteView payload,
                        const MessageOf<Stream::Extra>* decoded) noexcept = 0;
  // The streams are gone (their client was destroyed): nothing follows.
  virtual void OnDetached() noexcept = 0;
};

// What one stream has delivered so far.
struct StreamCounters {
  std::uint64_t received = 0;        // every sample, decodable or not
  std::uint64_t undecodable = 0;     // samples whose payload did not decode
  std::int64_t last_steady_ns = -1;  // arrival of the latest sample; -1 before the first
  double rate_hz = 0.0;              // samples that arrived in the second before `now`
  std::size_t joint_count = 0;       // full joint lists' length in the latest decoded sample
};

class StreamMonitor {
 public:
  StreamMonitor();
  ~StreamMonitor();

  StreamMonitor(const StreamMonitor&) = delete;
  StreamMonitor& operator=(const StreamMonitor&) = delete;

  // What a stream's subscription reports to; it must not outlive the monitor.
  template <Stream S>
  zenoh_mdw::SampleTap<MessageOf<S>>* tap() noexcept {
    return &std::get<static_cast<std::size_t>(S)>(taps_);
  }

  // A sink attached after Shutdown is told OnDetached at once.
  void Attach(std::shared_ptr<StreamSink> sink);
  void Detach(const StreamSink* sink);
  // Tells every sink that the streams are gone; samples arriving later reach no sink.
  void Shutdown();

  StreamCounters Counters(Stream stream, std::int64_t now_steady_ns) const;

 private:
  // Arrival times of the last samples, for the rate over the last second.
  static constexpr std::size_t kArrivals = 4096;

  struct Counts {
    mutable std::mutex mutex;
    std::uint64_t received = 0;
    std::uint64_t undecodable = 0;
    std::size_t joint_count = 0;
    std::array<std::int64_t, kArrivals> arrivals{};
    std::size_t next = 0;  // ring position of the next arrival
  };

  template <Stream S>
  class Tap final : public zenoh_mdw::SampleTap<MessageOf<S>> {
   public:
    explicit Tap(StreamMonitor& monitor) : monitor_(monitor) {}
    void OnSample(zenoh::ByteView payload, const MessageOf<S>* decoded) noexcept override {
      monitor_.Receive<S>(payload, decoded);
    }

   private:
    StreamMonitor& monitor_;
  };

  template <Stream S>
  void Receive(zenoh::ByteView payload, const MessageOf<S>* decoded) noexcept;

  std::array<Counts, 2> counts_;  // by Stream
  std::tuple<Tap<Stream::Basic>, Tap<Stream::Extra>> taps_{*this, *this};

  mutable std::shared_mutex sinks_mutex_;
  std::vector<std::shared_ptr<StreamSink>> sinks_;
  bool shut_down_ = false;
};

}  // namespace korvel::quor_impl
