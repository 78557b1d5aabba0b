// Connects to a robot and prints each joint group's joint positions and TCP wrench (world
// frame) ten times a second.
//
//   print_states SERIAL [SECONDS]      default 5 s

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <thread>

#include <korvelquor.hpp>

namespace {

template <class Values>
std::string Join(const Values& values) {
  std::string text;
  char number[32];
  for (const double v : values) {
    std::snprintf(number, sizeof number, "%s%8.4f", text.empty() ? "" : " ", v);
    text += number;
  }
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: print_states SERIAL [SECONDS]\n");
    return 2;
  }
  const double seconds = argc > 2 ? std::atof(argv[2]) : 5.0;
  try {
    const korvel::quor::Client client(argv[1], /*verbose=*/false);
    std::printf("korvelquor %s, protocol %s\n", korvel::quor::LibraryVersion(),
                korvel::quor::kClientVersion);
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    auto next = std::chrono::steady_clock::now();
    while (next < end) {
      for (const auto& [group, states] : client.states()) {
        std::printf("%-8s q [%s]  wrench [%s]\n", korvel::quor::kJointGroupNames.at(group).c_str(),
                    Join(states.q).c_str(), Join(states.tcp_wrench).c_str());
      }
      std::printf("\n");
      next += std::chrono::milliseconds(100);
      std::this_thread::sleep_until(next);
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "print_states: %s\n", e.what());
    return 1;
  }
  return 0;
}
