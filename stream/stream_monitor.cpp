#include "stream/stream_monitor.hpp"

#include <algorithm>
#include <chrono>
#include <type_traits>
#include <utility>

namespace korvel::quor_impl {

using zenoh_msgs::quor_msg::AllBasicStreamData;
using zenoh_msgs::quor_msg::AllExtraStreamData;

SampleTime NowSampleTime() {
  const auto system = std::chrono::system_clock::now().time_since_epoch();
  const auto steady = std::chrono::steady_clock::now().time_since_epoch();
  return {std::chrono::duration_cast<std::chrono::nanoseconds>(system).count(),
          std::chrono::duration_cast<std::chrono::nanoseconds>(steady).count()};
}

namespace {

std::size_t JointCount(const AllBasicStreamData& msg) { return msg.joint_data.q.size(); }
std::size_t JointCount(const AllExtraStreamData& msg) { return msg.joint_data.q_d.size(); }

}  // namespace

template <class T>
class StreamMonitor::Tap : public zenoh_mdw::SampleTap<T> {
 public:
  Tap(StreamMonitor& monitor, Stream& stream) : monitor_(monitor), stream_(stream) {}
  void OnSample(zenoh::ByteView payload, const T* decoded) noexcept override {
    const SampleTime time = NowSampleTime();
    monitor_.Count(stream_, time, decoded != nullptr, decoded ? JointCount(*decoded) : 0);
    monitor_.Deliver(time, payload, decoded);
  }

 private:
  StreamMonitor& monitor_;
  Stream& stream_;
};

StreamMonitor::StreamMonitor()
    : basic_tap_(std::make_unique<Tap<AllBasicStreamData>>(*this, basic_)),
      extra_tap_(std::make_unique<Tap<AllExtraStreamData>>(*this, extra_)) {
  basic_.arrivals.fill(-1);
  extra_.arrivals.fill(-1);
}

StreamMonitor::~StreamMonitor() { Shutdown(); }

zenoh_mdw::SampleTap<AllBasicStreamData>* StreamMonitor::basic_tap() noexcept {
  return basic_tap_.get();
}

zenoh_mdw::SampleTap<AllExtraStreamData>* StreamMonitor::extra_tap() noexcept {
  return extra_tap_.get();
}

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

void StreamMonitor::Count(Stream& stream, const SampleTime& time, bool decoded,
                          std::size_t joint_count) {
  std::lock_guard lock(stream.mutex);
  ++stream.received;
  if (decoded) {
    stream.joint_count = joint_count;
  } else {
    ++stream.undecodable;
  }
  stream.arrivals[stream.next] = time.steady_ns;
  stream.next = (stream.next + 1) % kArrivals;
}

template <class T>
void StreamMonitor::Deliver(const SampleTime& time, zenoh::ByteView payload, const T* decoded) {
  std::shared_lock lock(sinks_mutex_);
  for (const auto& sink : sinks_) {
    if constexpr (std::is_same_v<T, AllBasicStreamData>) {
      sink->OnBasic(time, payload, decoded);
    } else {
      sink->OnExtra(time, payload, decoded);
    }
  }
}

StreamCounters StreamMonitor::Counters(bool basic, std::int64_t now_steady_ns) const {
  const Stream& stream = basic ? basic_ : extra_;
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
