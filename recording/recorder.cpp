#include "recording/recorder.hpp"

#include <algorithm>
#include <array>
#include <condition_variable>
#include <exception>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

#include "capture/capture.hpp"
#include "client/client_access.hpp"
#include "client/version.hpp"
#include "mcapfile/writer.hpp"
#include "recording/recording_facts.hpp"
#include "recording/recording_writer.hpp"

namespace korvel::quor {

namespace {

using Entries = mcapfile::Writer::Entries;
using Clock = std::chrono::steady_clock;

std::int64_t WallNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace

class Recorder::Impl {
 public:
  Impl(const Client& client, const std::string& path, RecorderOptions options)
      : options_(options), writer_(Open(path, options)) {
    summary_.path = options.parts.split() ? writer_.folder() : path;
    CaptureOptions capture;
    capture.capacity = options.capacity;
    capture.keep_payloads = true;
    capture.columns = false;  // the file takes the samples as received
    capture_.emplace(client, capture);
    const quor_impl::FactRecords facts =
        quor_impl::ConnectionFacts(client, WallNs(), LibraryVersion());
    try {
      writer_.Start(std::string("korvelquor ") + LibraryVersion(),
                    quor_impl::ClientAccess::Layout(client).serial, facts);
    } catch (const mcapfile::WriteError& e) {
      writer_.Salvage({});
      throw std::runtime_error(e.what());
    }
    begin_ = Clock::now();
    thread_ = std::thread([this] { Run(); });
  }

  ~Impl() { Stop("the recorder's end"); }

  RecordingSummary Stop(const std::string& stopped_by) {
    {
      std::lock_guard lock(mutex_);
      if (!stop_requested_) stop_requested_ = true, stop_reason_ = stopped_by;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
    return summary();
  }

  RecordingSummary summary() const {
    std::lock_guard lock(mutex_);
    return summary_;
  }

  bool recording() const {
    std::lock_guard lock(mutex_);
    return summary_.stopped_by.empty();
  }

 private:
  static RecordingWriter Open(const std::string& path, const RecorderOptions& options) {
    try {
      return RecordingWriter(path, options.compression, 0, options.parts);
    } catch (const mcapfile::WriteError& e) {
      throw std::runtime_error(e.what());
    }
  }

  void Run() {
    std::string stopped_by;
    auto next_flush = begin_ + options_.flush_period;
    try {
      while (true) {
        {
          std::unique_lock lock(mutex_);
          wake_.wait_for(lock, options_.drain_period, [this] { return stop_requested_; });
          if (stop_requested_) {
            stopped_by = stop_reason_;
            break;
          }
        }
        if (!capture_->Receiving()) {
          stopped_by = "the client ending";
          break;
        }
        CaptureBatch batch;
        try {
          batch = capture_->Drain();
        } catch (const std::runtime_error&) {
          stopped_by = "the client ending";  // the client is gone and nothing is left
          break;
        }
        Write(batch);
        const auto now = Clock::now();
        if (now >= next_flush) {
          writer_.Flush();
          next_flush = now + options_.flush_period;
        }
      }
      capture_->Close();
      try {
        Write(capture_->Drain());
      } catch (const std::runtime_error&) {
        // nothing was left (the client is gone)
      }
      Set([&](RecordingSummary& s) {
        s.stopped_by = stopped_by;
        s.seconds = Seconds();
      });
      writer_.Finish(EndRecord());
      Set([&](RecordingSummary& s) {
        s.complete = true;
        s.bytes = writer_.size();
      });
    } catch (const std::exception& e) {
      // A failed write (mcapfile::WriteError) or anything else that ends the recording.
      capture_->Close();
      Set([&](RecordingSummary& s) {
        s.stopped_by = "a write error";
        s.error = e.what();
        s.seconds = Seconds();
      });
      writer_.Salvage(EndRecord());
      Set([&](RecordingSummary& s) { s.bytes = writer_.size(); });
    }
    capture_.reset();
  }

  void Write(const CaptureBatch& batch) {
    const std::array<const StreamRows*, 2> rows = {&batch.basic, &batch.extra};
    // Counted first: a batch whose write fails was received all the same.
    Set([&](RecordingSummary& s) {
      for (std::size_t k = 0; k < rows.size(); ++k) {
        RecordedCounts& c = k == 0 ? s.basic : s.extra;
        const RawSamples& raw = rows[k]->raw;
        c.samples += raw.seq.size();
        c.dropped += rows[k]->dropped;
        c.undecodable += static_cast<std::uint64_t>(
            std::count(raw.decoded.begin(), raw.decoded.end(), std::uint8_t{0}));
      }
      s.seconds = Seconds();
    });
    writer_.Add(batch);
    Set([&](RecordingSummary& s) { s.bytes = writer_.size(); });
  }

  Entries EndRecord() const { return quor_impl::EndRecord(summary(), WallNs()); }

  double Seconds() const { return std::chrono::duration<double>(Clock::now() - begin_).count(); }

  template <class F>
  void Set(F f) {
    std::lock_guard lock(mutex_);
    f(summary_);
  }

  const RecorderOptions options_;
  RecordingWriter writer_;
  std::optional<Capture> capture_;
  Clock::time_point begin_;

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_requested_ = false;
  std::string stop_reason_;
  RecordingSummary summary_;
  std::thread thread_;
};

Recorder::Recorder(const Client& client, const std::string& path, RecorderOptions options)
    : impl_(std::make_unique<Impl>(client, path, options)) {}

Recorder::~Recorder() = default;

RecordingSummary Recorder::Stop(const std::string& stopped_by) { return impl_->Stop(stopped_by); }
RecordingSummary Recorder::summary() const { return impl_->summary(); }
bool Recorder::recording() const { return impl_->recording(); }

}  // namespace korvel::quor
