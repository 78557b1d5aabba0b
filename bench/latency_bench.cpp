// Per-call latency (median and p99) of the client's hot paths on the reference samples of
// the two-arm robot (bench/decode_sample.py writes them; KQ_DECODE_SAMPLE_DIR names the
// directory): decoding each stream message and the two replies that carry text (plan info,
// primitive states), the whole per-sample stream path (decode into scratch, swap into the
// target, copy into the cache), and the states/actions assembly as DataStream runs it under
// the stream's lock. Prints one JSON object.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

#include "bench/two_arm_layout.hpp"
#include "middleware/subscriber.hpp"
#include "msgs/basic_stream_data.hpp"
#include "msgs/extra_stream_data.hpp"
#include "msgs/held_storage.hpp"
#include "msgs/rpc_reply.hpp"
#include "stream/assembly.hpp"

namespace {

using namespace korvel::quor_impl;
using korvel::zenoh_msgs::quor_msg::AllBasicStreamData;
using korvel::zenoh_msgs::quor_msg::AllExtraStreamData;
using korvel::zenoh_msgs::quor_msg::RPCReply;

std::vector<std::uint8_t> ReadSample(const std::string& name) {
  const char* dir = std::getenv("KQ_DECODE_SAMPLE_DIR");
  std::ifstream in(std::string(dir ? dir : ".") + "/" + name + ".bin", std::ios::binary);
  std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
  if (bytes.empty()) {
    std::fprintf(stderr, "latency_bench: no %s.bin (set KQ_DECODE_SAMPLE_DIR)\n", name.c_str());
    std::exit(2);
  }
  return bytes;
}

template <class T>
volatile T sink;

// Times `call` one call at a time after a warm-up; returns {median, p99} in ns.
std::pair<double, double> Measure(const std::function<void()>& call, int calls = 50000) {
  for (int i = 0; i < 2000; ++i) call();
  std::vector<double> ns(calls);
  for (int i = 0; i < calls; ++i) {
    const auto start = std::chrono::steady_clock::now();
    call();
    ns[i] =
        std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count();
  }
  std::sort(ns.begin(), ns.end());
  return {ns[ns.size() / 2], ns[static_cast<std::size_t>(0.99 * (ns.size() - 1))]};
}

}  // namespace

int main() {
  const auto basic_bytes = ReadSample("basic");
  const auto extra_bytes = ReadSample("extra");
  const auto plan_bytes = ReadSample("plan_info");
  const auto pt_bytes = ReadSample("pt_states");
  const zenoh::ByteView basic_view(basic_bytes), extra_view(extra_bytes);
  const zenoh::ByteView plan_view(plan_bytes), pt_view(pt_bytes);

  using korvel::bench::kTwoArmDofs, korvel::bench::kTwoArmNames, korvel::bench::kTwoArmStarts;

  std::mutex mutex;
  const auto basic = zenoh::ext::deserialize<AllBasicStreamData>(basic_view);
  const auto extra = zenoh::ext::deserialize<AllExtraStreamData>(extra_view);

  AllBasicStreamData target, cache;
  korvel::zenoh_mdw::SampleHandler<AllBasicStreamData> handler(
      [&] {
        std::lock_guard<std::mutex> lock(mutex);
        cache = target;
      },
      target, nullptr, &korvel::zenoh_msgs::quor_msg::TrimStorage<AllBasicStreamData>);
  const zenoh::Sample sample(basic_view);

  struct Row {
    const char* name;
    std::function<void()> call;
  };
  const Row rows[] = {
      {"decode_basic",
       [&] {
         sink<std::size_t> =
             zenoh::ext::deserialize<AllBasicStreamData>(basic_view).joint_data.q.size();
       }},
      {"decode_extra",
       [&] {
         sink<std::size_t> =
             zenoh::ext::deserialize<AllExtraStreamData>(extra_view).joint_data.q_d.size();
       }},
      {"decode_plan_info",
       [&] {
         sink<std::size_t> = zenoh::ext::deserialize<RPCReply>(plan_view).string_container.size();
       }},
      {"decode_pt_states",
       [&] {
         sink<std::size_t> = zenoh::ext::deserialize<RPCReply>(pt_view).string_container.size();
       }},
      {"stream_path_basic", [&] { handler(sample); }},
      {"get_robot_states",
       [&] {
         std::lock_guard<std::mutex> lock(mutex);
         sink<std::size_t> =
             Logged(AssembleRobotStates(basic, kTwoArmNames, kTwoArmStarts, kTwoArmDofs)).size();
       }},
      {"get_robot_actions",
       [&] {
         std::pair<std::int32_t, std::int32_t> stamp;
         {
           std::lock_guard<std::mutex> lock(mutex);
           stamp = StampFromWire(basic.timestamp);
         }
         std::lock_guard<std::mutex> lock(mutex);
         sink<std::size_t> =
             Logged(AssembleRobotActions(stamp, extra, kTwoArmNames, kTwoArmStarts, kTwoArmDofs))
                 .size();
       }},
  };
  std::printf("{");
  for (std::size_t i = 0; i < std::size(rows); ++i) {
    const auto [median, p99] = Measure(rows[i].call);
    std::printf("%s\"%s\": {\"median_ns\": %.0f, \"p99_ns\": %.0f}", i ? ", " : "", rows[i].name,
                median, p99);
  }
  std::printf("}\n");
  return 0;
}
