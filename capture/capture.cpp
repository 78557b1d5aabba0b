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

using zenoh_msgs::quor_msg::AllBasicStreamData;
using zenoh_msgs::quor_msg::AllExtraStreamData;

namespace {

template <class Message>
void GiveBackHuge(CapturedSample<Message>& s) {
  zenoh_msgs::quor_msg::TrimStorage(s.message);
  if (s.payload.capacity() > zenoh_msgs::quor_msg::kKeptStorageBytes) s.payload = {};
}

constexpr const char* kClientGone = "[korvel::quor::Capture] The client of this capture has been destroyed";
constexpr const char* kClosed = "[korvel::quor::Capture] The capture is closed";
}  // namespace

CaptureCore::CaptureCore(ClientLayout layout, std::size_t capacity, bool keep_payloads,
                         std::size_t max_bytes)
    : layout_(std::move(layout)),
      keep_payloads_(keep_payloads),
      basic_(capacity, keep_payloads, max_bytes),
      extra_(capacity, keep_payloads, max_bytes) {}

void CaptureCore::OnBasic(const SampleTime& time, zenoh::ByteView payload,
                          const AllBasicStreamData* decoded) noexcept {
  try {
    std::lock_guard lock(mutex_);
    if (!receiving_) return;
    if (decoded != nullptr) {
      last_basic_stamp_ = StampFromWire(decoded->timestamp);
      basic_seen_ = true;
    }
    basic_.Push(time, payload, decoded, last_basic_stamp_);
    if (waiters_ != 0) pending_.notify_all();
  } catch (...) {
    // An allocation failure loses this sample, never the stream.
  }
}

void CaptureCore::OnExtra(const SampleTime& time, zenoh::ByteView payload,
                          const AllExtraStreamData* decoded) noexcept {
  try {
    std::lock_guard lock(mutex_);
    if (!receiving_) return;
    if (decoded != nullptr && !extra_joint_count_) {
      extra_joint_count_ = decoded->joint_data.q_d.size();
    }
    // The extra stream carries no timestamp; its samples take the latest basic one.
    extra_.Push(time, payload, decoded, last_basic_stamp_);
    if (waiters_ != 0) pending_.notify_all();
  } catch (...) {
  }
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
  const bool ready = pending_.wait_for(lock, timeout, [&] {
    return basic_.size() + extra_.size() != 0 || !receiving_;
  });
  --waiters_;
  return ready && basic_.size() + extra_.size() != 0;
}

std::size_t CaptureCore::Pending() const {
  std::lock_guard lock(mutex_);
  return basic_.size() + extra_.size();
}

std::uint64_t CaptureCore::Dropped(bool basic) const {
  std::lock_guard lock(mutex_);
  return basic ? basic_.dropped() : extra_.dropped();
}

bool CaptureCore::Receiving() const {
  std::lock_guard lock(mutex_);
  return receiving_;
}

quor::CaptureBatch CaptureCore::Drain() {
  std::size_t basic_used = 0;
  std::size_t extra_used = 0;
  std::uint64_t basic_dropped = 0;
  std::uint64_t extra_dropped = 0;
  {
    std::unique_lock lock(mutex_);
    if (basic_.size() + extra_.size() == 0 && !receiving_) {
      throw std::runtime_error(detached_ ? kClientGone : kClosed);
    }
    // Only what is there now: a stream that keeps delivering cannot keep the reader here.
    RingTake basic(basic_, basic_taken_);
    RingTake extra(extra_, extra_taken_);
    TakeInChunks(kChunk, [&] { lock.unlock(); lock.lock(); }, basic, extra);
    basic_used = basic.used();
    extra_used = extra.used();
    layout_.extra_joint_count = extra_joint_count_;
    basic_dropped = basic_.dropped() - basic_dropped_seen_;
    extra_dropped = extra_.dropped() - extra_dropped_seen_;
    basic_dropped_seen_ = basic_.dropped();
    extra_dropped_seen_ = extra_.dropped();
  }
  quor::CaptureBatch batch;
  AppendBasic(basic_taken_, basic_used, layout_, keep_payloads_, batch.basic);
  AppendExtra(extra_taken_, extra_used, layout_, keep_payloads_, batch.extra);
  // The taken samples stay as spare storage for the next drain, unless they are huge.
  for (std::size_t i = 0; i < basic_used; ++i) GiveBackHuge(basic_taken_[i]);
  for (std::size_t i = 0; i < extra_used; ++i) GiveBackHuge(extra_taken_[i]);
  batch.basic.dropped = basic_dropped;
  batch.extra.dropped = extra_dropped;
  return batch;
}

}  // namespace korvel::quor_impl

namespace korvel::quor {

Capture::Capture(const Client& client, CaptureOptions options) : options_(options) {
  if (options_.capacity == 0) {
    throw std::invalid_argument("[korvel::quor::Capture] capacity must be at least 1 sample, got 0");
  }
  if (options_.max_bytes == 0) {
    throw std::invalid_argument("[korvel::quor::Capture] max_bytes must be at least 1, got 0");
  }
  core_ = std::make_shared<quor_impl::CaptureCore>(quor_impl::ClientAccess::Layout(client),
                                                   options_.capacity, options_.keep_payloads,
                                                   options_.max_bytes);
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

std::uint64_t Capture::Dropped(bool basic) const { return core_->Dropped(basic); }

bool Capture::Receiving() const { return core_->Receiving(); }

}  // namespace korvel::quor
