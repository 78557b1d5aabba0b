// Records every sample of both streams of a robot into an MCAP file that the Python tools
// read, export and replay like one of `korvelquor record`, until Ctrl-C, SIGTERM or the
// given number of seconds (0: no end); with SPLIT seconds, in parts of that length in the
// folder OUT (a recording that runs all day, read back as one).
//
//   record SERIAL OUT.mcap [SECONDS [SPLIT]]
//
// Exit status: 0 a complete file; 1 no connection; 2 the file cannot be written; 3 writing
// failed part way (what was written before stays readable).

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <string>
#include <thread>

#include <korvelquor.hpp>
#include <recording/recorder.hpp>

namespace {

std::atomic<int> g_signal{0};

extern "C" void OnSignal(int signum) { g_signal.store(signum); }

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3 || argc > 5) {
    std::fprintf(stderr, "usage: record SERIAL OUT.mcap [SECONDS [SPLIT]]\n");
    return 2;
  }
  const std::string serial = argv[1], out = argv[2];
  const double seconds = argc >= 4 ? std::atof(argv[3]) : 0.0;
  korvel::quor::RecorderOptions options;
  options.parts.seconds = argc == 5 ? std::atof(argv[4]) : 0.0;
  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);

  std::unique_ptr<korvel::quor::Client> client;
  try {
    client = std::make_unique<korvel::quor::Client>(serial, false);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "record: cannot connect to [%s]: %s\n", serial.c_str(), e.what());
    return 1;
  }
  std::unique_ptr<korvel::quor::Recorder> recorder;
  try {
    recorder = std::make_unique<korvel::quor::Recorder>(*client, out, options);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "record: %s\n", e.what());
    return 2;
  }
  std::printf("record: recording %s into %s\n", serial.c_str(), out.c_str());
  std::fflush(stdout);

  const auto begin = std::chrono::steady_clock::now();
  std::string stopped_by = "the duration";
  while (recorder->recording()) {
    if (const int s = g_signal.load()) {
      stopped_by = s == SIGINT ? "Ctrl-C" : "SIGTERM";
      break;
    }
    if (seconds > 0 &&
        std::chrono::steady_clock::now() - begin >= std::chrono::duration<double>(seconds)) {
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  const korvel::quor::RecordingSummary s = recorder->Stop(stopped_by);
  std::fprintf(s.error.empty() ? stdout : stderr,
               "record: %.1f s, received basic %llu and extra %llu samples (%llu dropped, %llu "
               "undecodable), %.1f MB in %s; stopped by %s%s%s\n",
               s.seconds, static_cast<unsigned long long>(s.basic.samples),
               static_cast<unsigned long long>(s.extra.samples),
               static_cast<unsigned long long>(s.basic.dropped + s.extra.dropped),
               static_cast<unsigned long long>(s.basic.undecodable + s.extra.undecodable),
               static_cast<double>(s.bytes) / 1e6, s.path.c_str(), s.stopped_by.c_str(),
               s.error.empty() ? "" : ": ", s.error.c_str());
  return s.error.empty() ? 0 : 3;
}
