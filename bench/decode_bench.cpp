// Decode cost of the two stream messages on the reference sample (bench/decode_sample.py),
// alone and as the stream path spends it: decode into a fresh value, move it into the
// subscriber's target, deep-copy it into the cache. Run through bench/decode, which
// writes the sample and sets KQ_DECODE_SAMPLE_DIR.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "middleware/subscriber.hpp"
#include "msgs/basic_stream_data.hpp"
#include "msgs/extra_stream_data.hpp"
#include "msgs/held_storage.hpp"

namespace {

using korvel::zenoh_msgs::quor_msg::AllBasicStreamData;
using korvel::zenoh_msgs::quor_msg::AllExtraStreamData;

const std::vector<std::uint8_t>& Sample(const std::string& name) {
  static std::vector<std::uint8_t> basic, extra;
  auto& bytes = name == "basic" ? basic : extra;
  if (bytes.empty()) {
    const char* dir = std::getenv("KQ_DECODE_SAMPLE_DIR");
    const std::string path = std::string(dir ? dir : ".") + "/" + name + ".bin";
    std::ifstream in(path, std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (bytes.empty()) {
      std::fprintf(stderr, "decode_bench: cannot read %s (set KQ_DECODE_SAMPLE_DIR)\n",
                   path.c_str());
      std::exit(2);
    }
  }
  return bytes;
}

template <class T>
void Decode(benchmark::State& state, const char* name) {
  const zenoh::ByteView view(Sample(name));
  for (auto _ : state) {
    T value = zenoh::ext::deserialize<T>(view);
    benchmark::DoNotOptimize(value);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * view.size()));
}

// What one received sample costs the stream path: the cache keeps its capacity between
// samples, the decoded value's vectors are fresh every time.
template <class T>
void StreamPath(benchmark::State& state, const char* name) {
  const zenoh::ByteView view(Sample(name));
  T target;
  T cache;
  for (auto _ : state) {
    target = zenoh::ext::deserialize<T>(view);
    cache = target;
    benchmark::DoNotOptimize(cache);
    benchmark::ClobberMemory();
  }
}

// The stream path as the client runs it: the subscription's sample handler (decode into
// scratch, swap into the target, notify) and the owner's callback copying the target into
// the cache.
template <class T>
void SubscriberPath(benchmark::State& state, const char* name) {
  const zenoh::Sample sample{zenoh::ByteView(Sample(name))};
  T target;
  T cache;
  korvel::zenoh_mdw::SampleHandler<T> handler([&] { cache = target; }, target, nullptr,
                                              &korvel::zenoh_msgs::quor_msg::TrimStorage<T>);
  for (auto _ : state) {
    handler(sample);
    benchmark::DoNotOptimize(cache);
    benchmark::ClobberMemory();
  }
}

void BM_DecodeBasic(benchmark::State& s) { Decode<AllBasicStreamData>(s, "basic"); }
void BM_DecodeExtra(benchmark::State& s) { Decode<AllExtraStreamData>(s, "extra"); }
void BM_StreamPathBasic(benchmark::State& s) { StreamPath<AllBasicStreamData>(s, "basic"); }
void BM_StreamPathExtra(benchmark::State& s) { StreamPath<AllExtraStreamData>(s, "extra"); }

void BM_SubscriberPathBasic(benchmark::State& s) { SubscriberPath<AllBasicStreamData>(s, "basic"); }
void BM_SubscriberPathExtra(benchmark::State& s) { SubscriberPath<AllExtraStreamData>(s, "extra"); }

BENCHMARK(BM_DecodeBasic);
BENCHMARK(BM_DecodeExtra);
BENCHMARK(BM_StreamPathBasic);
BENCHMARK(BM_StreamPathExtra);
BENCHMARK(BM_SubscriberPathBasic);
BENCHMARK(BM_SubscriberPathExtra);

}  // namespace

BENCHMARK_MAIN();
