// Construction of a Client against a robot (the substitute controller) across the private
// network, each with a session of its own (the previous client is gone, so its session is
// closed): `construction_bench SERIAL [COUNT]` prints the median and p99 of COUNT
// constructions and the resident memory of this process while one client receives the
// streams, as one JSON object.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <spdlog/spdlog.h>

#include "client/client.hpp"

namespace {

long ResidentKib() {
  std::ifstream status("/proc/self/status");
  std::string key;
  while (status >> key) {
    if (key == "VmRSS:") {
      long kib = 0;
      status >> kib;
      return kib;
    }
    status.ignore(1 << 20, '\n');
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: construction_bench SERIAL [COUNT]\n");
    return 2;
  }
  spdlog::set_level(spdlog::level::warn);  // this program's choice, not the library's
  const std::string serial = argv[1];
  const int count = argc > 2 ? std::atoi(argv[2]) : 20;

  std::vector<double> ms;
  for (int i = 0; i < count + 1; ++i) {
    const auto start = std::chrono::steady_clock::now();
    {
      korvel::quor::Client client(serial, false);
      const auto end = std::chrono::steady_clock::now();
      if (i > 0) ms.push_back(std::chrono::duration<double, std::milli>(end - start).count());
    }
  }
  std::sort(ms.begin(), ms.end());
  auto pct = [&](double p) { return ms[static_cast<std::size_t>(p * (ms.size() - 1))]; };

  korvel::quor::Client client(serial, false);
  std::this_thread::sleep_for(std::chrono::seconds(3));
  const std::size_t groups = client.states().size();
  std::printf(
      "{\"constructions\": %zu, \"p50_ms\": %.1f, \"p99_ms\": %.1f, \"rss_kib\": %ld, "
      "\"groups\": %zu}\n",
      ms.size(), pct(0.5), pct(0.99), ResidentKib(), groups);
  return 0;
}
