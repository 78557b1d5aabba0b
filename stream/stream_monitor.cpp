#include "stream/stream_monitor.hpp"

#include <algorithm>
#include <chrono>
#include <utility>

namespace korvel::quor_impl {

SampleTime NowSampleTime() {
  const auto system = std::chrono::system_clock::now().time_since_epoch();
  const auto steady = std::chrono::steady_clock::now().time_since_epoch();
  return {std::chrono::duration_cast<std::chrono::nanoseconds>(system).count(),
          std::chrono::duration_cast<std::chrono::nanoseconds>(steady).count()};
}

StreamMonitor::StreamMonitor() {
  for (Counts& c : counts_) c.arrivals.fill(-1);
}

StreamMonitor::~StreamMonitor() { Shutdown(); }

void StreamMonitor::Attach(std::shared_ptr<StreamSink> sink) {
  {
    std::unique_lock lock(sinks_mutex_);
    if (!shut_down_) {
      sinks_.push_back(std::move(sink));
      return;
    }
  }
  sink->OnDetached();
}

void StreamMonitor::Detach(const StreamSink* sink) {
  std::unique_lock lock(sinks_mutex_);
  std::erase_if(sinks_, [sink](const auto& s) { return s.get() == sink; });
}

void StreamMonitor::Shutdown() {
  std::vector<std::shared_ptr<StreamSink>> gone;
  {
    std::unique_lock lock(sinks_mutex_);
    shut_down_ = true;
    gone.swap(sinks_);
  }
  for (const auto& sink : gone) sink->OnDetached();
}

template <Stream S>
void StreamMonitor::Receive(zenoh::ByteView payload, const MessageOf<S>* decoded) noexcept {
  const SampleTime time = NowSampleTime();
  {
    Counts& counts = counts_[static_cast<std::size_t>(S)];
    std::lock_guard lock(counts.mutex);
    ++counts.received;
    if (decoded != nullptr) {
      counts.joint_count = StreamTraits<S>::JointCount(*decoded);
    } else {
      ++counts.undecodable;
    }
    counts.arrivals[counts.next] = time.steady_ns;
    counts.next = (counts.next + 1) % kArrivals;
  }
  std::shared_lock lock(sinks_mutex_);
  for (const auto& sink : sinks_) sink->OnSample(time, payload, decoded);
}

template void StreamMonitor::Receive<Stream::Basic>(zenoh::ByteView,
                                                    const MessageOf<Stream::Basic>*) noexcept;
template void StreamMonitor::Receive<Stream::Extra>(zenoh::ByteView,
                                                    const MessageOf<Stream::Extra>*) noexcept;

StreamCounters StreamMonitor::Counters(Stream which, std::int64_t now_steady_ns) const {
  const Counts& stream = counts_[static_cast<std::size_t>(which)];
  std::lock_guard lock(stream.mutex);
  StreamCounters counters;
  counters.received = stream.received;
  counters.undecodable = stream.undecodable;
  counters.joint_count = stream.joint_count;
  if (stream.received == 0) return counters;
  counters.last_steady_ns = stream.arrivals[(stream.next + kArrivals - 1) % kArrivals];

  constexpr std::int64_t kSecond = 1'000'000'000;
  std::size_t within = 0;
  std::int64_t oldest = now_steady_ns;
  for (const std::int64_t t : stream.arrivals) {
    if (t >= 0 && t > now_steady_ns - kSecond && t <= now_steady_ns) {
      ++within;
      oldest = std::min(oldest, t);
    }
  }
  if (within < kArrivals) {
    counters.rate_hz = static_cast<double>(within);
  } else if (counters.last_steady_ns > oldest) {
    // Faster than the ring remembers for a whole second: rate over the span it covers.
    counters.rate_hz = static_cast<double>(within - 1) * 1e9 /
                       static_cast<double>(counters.last_steady_ns - oldest);
  }
  return counters;
}

}  // namespace korvel::quor_impl
