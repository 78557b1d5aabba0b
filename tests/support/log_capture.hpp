#pragma once
// Captures what the code under test logs through spdlog's default logger. While a LogCapture
// lives, the default logger is replaced by one that records every line at every level; the
// previous default logger comes back when it goes.

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <spdlog/sinks/base_sink.h>
#include <spdlog/spdlog.h>

namespace korvel::testing {

struct LogLine {
  spdlog::level::level_enum level;
  std::string text;

  bool operator==(const LogLine&) const = default;
};

class LogCapture {
 public:
  LogCapture() : sink_(std::make_shared<Sink>()), previous_(spdlog::default_logger()) {
    auto logger = std::make_shared<spdlog::logger>("kq_test_capture", sink_);
    logger->set_level(spdlog::level::trace);
    spdlog::set_default_logger(std::move(logger));
  }
  ~LogCapture() { spdlog::set_default_logger(previous_); }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<LogLine> Lines() const { return sink_->Lines(); }

  // The texts logged at exactly `level`, in order.
  std::vector<std::string> Texts(spdlog::level::level_enum level) const {
    std::vector<std::string> texts;
    for (const LogLine& line : sink_->Lines()) {
      if (line.level == level) {
        texts.push_back(line.text);
      }
    }
    return texts;
  }

  std::vector<std::string> Errors() const { return Texts(spdlog::level::err); }

  void Clear() { sink_->Clear(); }

 private:
  class Sink : public spdlog::sinks::base_sink<std::mutex> {
   public:
    std::vector<LogLine> Lines() {
      std::lock_guard<std::mutex> lock(mutex_);
      return lines_;
    }
    void Clear() {
      std::lock_guard<std::mutex> lock(mutex_);
      lines_.clear();
    }

   protected:
    // base_sink holds mutex_ around these.
    void sink_it_(const spdlog::details::log_msg& msg) override {
      lines_.push_back({msg.level, std::string(msg.payload.begin(), msg.payload.end())});
    }
    void flush_() override {}

   private:
    std::vector<LogLine> lines_;
  };

  std::shared_ptr<Sink> sink_;
  std::shared_ptr<spdlog::logger> previous_;
};

}  // namespace korvel::testing
