// The floor under every client: a bare subscriber on the project's own transport that
// receives both streams of a robot and does nothing with the samples. What this process
// spends is what zenoh itself costs; the client's and the capture's CPU are reported as
// multiples of it. `floor_subscriber SERIAL SECONDS` prints one JSON object.

#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "zenoh/config.hpp"
#include "zenoh/session.hpp"

namespace {

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  const auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec * 1e-6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: floor_subscriber SERIAL SECONDS\n");
    return 2;
  }
  const std::string prefix = std::string("korvel/robot/") + argv[1];
  const double window = std::atof(argv[2]);

  auto session = zenoh::Session::open(zenoh::Config::create_default());
  std::atomic<long> basic{0}, extra{0};
  auto count = [](std::atomic<long>& n) {
    return [&n](const zenoh::Sample&) { n.fetch_add(1, std::memory_order_relaxed); };
  };
  auto basic_sub = session.declare_subscriber(zenoh::KeyExpr(prefix + "/basic_stream_data"),
                                              count(basic), [] {});
  auto extra_sub = session.declare_subscriber(zenoh::KeyExpr(prefix + "/extra_stream_data"),
                                              count(extra), [] {});
  std::this_thread::sleep_for(std::chrono::seconds(1));  // discovery and the first samples

  const long basic0 = basic, extra0 = extra;
  const double cpu0 = CpuSeconds();
  const auto start = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(std::chrono::duration<double>(window));
  const double wall =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double cpu = CpuSeconds() - cpu0;
  std::printf("{\"cpu_s\": %.4f, \"wall_s\": %.4f, \"basic_per_s\": %.1f, \"extra_per_s\": %.1f}\n",
              cpu, wall, (basic - basic0) / wall, (extra - extra0) / wall);
  return 0;
}
