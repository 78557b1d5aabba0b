#include "capture/capture.hpp"

#include <algorithm>
#include <stdexcept>
#include <string>
#include <utility>

#include "capture/capture_core.hpp"
#include "capture/chunked_take.hpp"
#include "msgs/held_storage.hpp"
#include "stream/assembly.hpp"

namespace korvel::quor_impl {

namespace {

template <class Message>
void GiveBackHuge(CapturedSample<Message>& s) {
  zenoh_msgs::quor_msg::TrimStorage(s.message);
  if (s.payload.capacity() > zenoh_msgs::quor_msg::kKeptStorageBytes) s.payload = {};
}

constexpr const char* kClientGone =
    "[korvel::quor::Capture] The client of this capture has been destroyed";
constexpr const char* kClosed = "[korvel::quor::Capture] The capture is closed";
}  // namespace

CaptureCore::CaptureCore(ClientLayout layout, std::size_t capacity, bool keep_payloads,
                         std::size_t max_bytes, bool columns)
    : layout_(std::move(layout)),
      keep_payloads_(keep_payloads),
      columns_(columns),
      lanes_(Lane<Stream::Basic>(capacity, keep_payloads, max_bytes, columns),
             Lane<Stream::Extra>(capacity, keep_payloads, max_bytes, columns)) {}

template <Stream S>
void CaptureCore::Receive(const SampleTime& time, zenoh::ByteView payload,
                          const MessageOf<S>* decoded) noexcept {
  try {
    std::lock_guard lock(mutex_);
    if (!receiving_) return;
    if constexpr (S == Stream::Basic) {
      if (decoded != nullptr) {
        last_basic_stamp_ = StampFromWire(decoded->timestamp);
        basic_seen_ = true;
      }
    } else {
      if (decoded != nullptr && !extra_joint_count_) {
        extra_joint_count_ = StreamTraits<S>::JointCount(*decoded);
      }
    }
    // The extra stream carries no timestamp; its samples take the latest basic one.
    lane<S>().ring.Push(time, payload, decoded, last_basic_stamp_);
    if (waiters_ != 0) pending_.notify_all();
  } catch (...) {
    // An allocation failure loses this sample, never the stream.
  }
}

void CaptureCore::OnSample(const SampleTime& time, zenoh::ByteView payload,
                           const MessageOf<Stream::Basic>* decoded) noexcept {
  Receive<Stream::Basic>(time, payload, decoded);
}

void CaptureCore::OnSample(const SampleTime& time, zenoh::ByteView payload,
                           const MessageOf<Stream::Extra>* decoded) noexcept {
  Receive<Stream::Extra>(time, payload, decoded);
}

void CaptureCore::Seed(std::pair<std::int32_t, std::int32_t> basic_stamp,
                       std::optional<std::size_t> extra_joint_count) {
  std::lock_guard lock(mutex_);
  if (!basic_seen_) last_basic_stamp_ = basic_stamp;
  // The client's own value holds once it has one; until then the first sample seen here is
  // the client's first too.
  if (extra_joint_count) extra_joint_count_ = extra_joint_count;
}

void CaptureCore::OnDetached() noexcept {
  std::lock_guard lock(mutex_);
  receiving_ = false;
  detached_ = true;
  pending_.notify_all();
}

void CaptureCore::Stop() {
  std::lock_guard lock(mutex_);
  receiving_ = false;
  pending_.notify_all();
}

bool CaptureCore::Wait(std::chrono::nanoseconds timeout) {
  std::unique_lock lock(mutex_);
  ++waiters_;
  const bool ready =
      pending_.wait_for(lock, timeout, [&] { return PendingLocked() != 0 || !receiving_; });
  --waiters_;
  return ready && PendingLocked() != 0;
}

std::size_t CaptureCore::PendingLocked() const {
  return lane<Stream::Basic>().ring.size() + lane<Stream::Extra>().ring.size();
}

std::size_t CaptureCore::Pending() const {
  std::lock_guard lock(mutex_);
  return PendingLocked();
}

std::uint64_t CaptureCore::Dropped(Stream stream) const {
  std::lock_guard lock(mutex_);
  return stream == Stream::Basic ? lane<Stream::Basic>().ring.dropped()
                                 : lane<Stream::Extra>().ring.dropped();
}

bool CaptureCore::Receiving() const {
  std::lock_guard lock(mutex_);
  return receiving_;
}

quor::CaptureBatch CaptureCore::Drain() {
  auto& basic = lane<Stream::Basic>();
  auto& extra = lane<Stream::Extra>();
  {
    std::unique_lock lock(mutex_);
    if (PendingLocked() == 0 && !receiving_) {
      throw std::runtime_error(detached_ ? kClientGone : kClosed);
    }
    // Only what is there now: a stream that keeps delivering cannot keep the reader here.
    RingTake basic_take(basic.ring, basic.taken);
    RingTake extra_take(extra.ring, extra.taken);
    TakeInChunks(
        kChunk,
        [&] {
          lock.unlock();
          lock.lock();
        },
        basic_take, extra_take);
    basic.used = basic_take.used();
    extra.used = extra_take.used();
    layout_.extra_joint_count = extra_joint_count_;
    ForEachStream([&](auto stream) {
      auto& l = lane<decltype(stream)::value>();
      l.dropped = l.ring.dropped() - l.dropped_seen;
      l.dropped_seen = l.ring.dropped();
    });
  }
  quor::CaptureBatch batch;
  ForEachStream([&](auto stream) {
    auto& l = lane<decltype(stream)::value>();
    auto& out = BatchIn<decltype(stream)::value>(batch);
    if (columns_) {
      Append<decltype(stream)::value>(l.taken, l.used, layout_, keep_payloads_, out);
    } else {
      AppendPayloads<decltype(stream)::value>(l.taken, l.used, out);
    }
    // The taken samples stay as spare storage for the next drain, unless they are huge.
    for (std::size_t i = 0; i < l.used; ++i) GiveBackHuge(l.taken[i]);
    out.dropped = l.dropped;
  });
  return batch;
}

}  // namespace korvel::quor_impl

namespace korvel::quor {

Capture::Capture(const Client& client, CaptureOptions options) : options_(options) {
  if (options_.capacity == 0) {
    throw std::invalid_argument(
        "[korvel::quor::Capture] capacity must be at least 1 sample, got 0");
  }
  if (options_.max_bytes == 0) {
    throw std::invalid_argument("[korvel::quor::Capture] max_bytes must be at least 1, got 0");
  }
  if (!options_.columns && !options_.keep_payloads) {
    throw std::invalid_argument(
        "[korvel::quor::Capture] a capture without columns keeps nothing unless it keeps "
        "payloads");
  }
  core_ = std::make_shared<quor_impl::CaptureCore>(quor_impl::ClientAccess::Layout(client),
                                                   options_.capacity, options_.keep_payloads,
                                                   options_.max_bytes, options_.columns);
  auto monitor = quor_impl::ClientAccess::Monitor(client);
  monitor->Attach(core_);
  core_->Seed(quor_impl::ClientAccess::LatestBasicStamp(client),
              quor_impl::ClientAccess::ExtraJointCount(client));
  monitor_ = monitor;
}

Capture::~Capture() { Close(); }

void Capture::Close() {
  if (auto monitor = monitor_.lock()) monitor->Detach(core_.get());
  monitor_.reset();
  core_->Stop();
}

CaptureBatch Capture::Drain() {
  std::lock_guard lock(drain_mutex_);
  return core_->Drain();
}

bool Capture::Wait(std::chrono::nanoseconds timeout) { return core_->Wait(timeout); }

std::size_t Capture::Pending() const { return core_->Pending(); }

std::uint64_t Capture::Dropped(Stream stream) const { return core_->Dropped(stream); }

bool Capture::Receiving() const { return core_->Receiving(); }

}  // namespace korvel::quor
