// A client process for the dead-link exit test: connects to the serial given, says
// "connected", waits for a line on stdin (the link is cut meanwhile), destroys the client,
// says how long that took and returns from main, so that the process exits while zenoh may
// still be closing the session.
#include <chrono>
#include <cstdio>
#include <memory>

#include "client/client.hpp"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: dead_link_client SERIAL\n");
    return 2;
  }
  auto client = std::make_unique<korvel::quor::Client>(argv[1], false);
  std::printf("connected\n");
  std::fflush(stdout);
  char line[16];
  if (std::fgets(line, sizeof line, stdin) == nullptr) return 3;
  const auto start = std::chrono::steady_clock::now();
  client.reset();
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  std::printf("destroyed %.3f\n", took.count());
  std::fflush(stdout);
  return 0;
}
