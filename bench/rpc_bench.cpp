// RPC round trip of the client's RPC client against a robot (the substitute controller)
// across the private network: `rpc_bench SERIAL [CALLS]` prints the latency percentiles of
// SendRequestAndGetReply for the version request as one JSON object.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "middleware/rpc_client.hpp"
#include "middleware/shared_session.hpp"
#include "msgs/rpc_reply.hpp"
#include "msgs/rpc_request.hpp"

using korvel::zenoh_msgs::quor_msg::RPCReply;
using korvel::zenoh_msgs::quor_msg::RPCRequest;

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: rpc_bench SERIAL [CALLS]\n");
    return 2;
  }
  const std::string key = std::string("korvel/robot/") + argv[1] + "/rpc";
  const int calls = argc > 2 ? std::atoi(argv[2]) : 2000;

  auto session = korvel::zenoh_mdw::GetSharedZenohSession();
  korvel::zenoh_mdw::RpcClient<RPCRequest, RPCReply> client(session, key);
  RPCRequest request;
  request.request_id = 1;

  // Until the robot is discovered a query ends unanswered; then warm up.
  int answered = 0;
  for (int i = 0; i < 500 && answered < 100; ++i) {
    RPCReply reply;
    if (client.SendRequestAndGetReply(request, reply, 2.0)) {
      ++answered;
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  if (answered < 100) {
    std::fprintf(stderr, "rpc_bench: no robot answers on %s\n", key.c_str());
    return 1;
  }

  std::vector<double> us;
  us.reserve(calls);
  int failures = 0;
  for (int i = 0; i < calls; ++i) {
    RPCReply reply;
    const auto start = std::chrono::steady_clock::now();
    const bool ok = client.SendRequestAndGetReply(request, reply, 2.0);
    const auto end = std::chrono::steady_clock::now();
    if (!ok || reply.string_container.empty()) {
      ++failures;
      continue;
    }
    us.push_back(std::chrono::duration<double, std::micro>(end - start).count());
  }
  std::sort(us.begin(), us.end());
  auto pct = [&](double p) {
    return us.empty() ? 0.0 : us[static_cast<std::size_t>(p * (us.size() - 1))];
  };
  std::printf(
      "{\"calls\": %zu, \"failures\": %d, \"p50_us\": %.1f, \"p99_us\": %.1f, \"max_us\": %.1f}\n",
      us.size(), failures, pct(0.50), pct(0.99), us.empty() ? 0.0 : us.back());
  return failures == 0 ? 0 : 1;
}
