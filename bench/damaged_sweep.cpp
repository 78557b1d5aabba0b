// Every single-bit flip in the first bytes of a recording, each read by the C++ reader as
// every reader of recordings reads it (summary counts, blocks decoded, the end described),
// in one process: an abort, a crash or a hang ends the run and names the flip.
//
//   damaged_sweep FILE BYTES [STOP]
//
// flips each bit of the first BYTES bytes of FILE, one at a time; each damaged file is read
// until the reader stands STOP bytes past the flip (default: to its end). Prints the
// outcomes and the peak memory against that of reading the intact file.
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include <spdlog/spdlog.h>

#include "recording/reader_access.hpp"
#include "recording/recording_reader.hpp"

namespace {

using korvel::quor::RecordedBlock;
using korvel::quor::RecordingError;
using korvel::quor::RecordingReader;

volatile std::sig_atomic_t g_flip = -1;

void Hung(int) {
  char line[96];
  const int n = std::snprintf(line, sizeof line, "damaged_sweep: flip %ld hangs\n",
                              static_cast<long>(g_flip));
  (void)!::write(2, line, static_cast<std::size_t>(n));
  std::_Exit(3);
}

long PeakKiB() {
  rusage use{};
  ::getrusage(RUSAGE_SELF, &use);
  return use.ru_maxrss;
}

// How a read ended: "read", "read, damage skipped", "cut short", "refused".
std::string Read(const std::string& path, std::uint64_t stop_at) {
  (void)korvel::quor_impl::RecordingReaderAccess::SummaryCounts(path);
  try {
    RecordingReader reader(path, {512});
    RecordedBlock block;
    while (reader.Next(block)) {
      if (reader.end().good_bytes >= stop_at) break;
    }
    const auto end = reader.end();
    if (!end.skipped.empty()) return "read, damage skipped";
    if (!end.problem.empty()) return "cut short";
    return "read";
  } catch (const RecordingError&) {
    return "refused";
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: damaged_sweep FILE BYTES [STOP]\n");
    return 2;
  }
  spdlog::set_level(spdlog::level::off);
  std::ifstream in(argv[1], std::ios::binary);
  const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), {});
  const std::size_t flips =
      std::min<std::size_t>(std::strtoull(argv[2], nullptr, 10), bytes.size());
  const std::uint64_t stop = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : UINT64_MAX;
  const int fd = ::memfd_create("recording", 0);
  if (fd < 0 || ::write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
    std::perror("damaged_sweep: memfd");
    return 2;
  }
  const std::string path = "/proc/self/fd/" + std::to_string(fd);
  std::signal(SIGALRM, Hung);
  const std::string intact = Read(path, UINT64_MAX);
  const long intact_kib = PeakKiB();
  std::map<std::string, long> outcomes;
  for (std::size_t at = 0; at < flips; ++at) {
    for (int bit = 0; bit < 8; ++bit) {
      g_flip = static_cast<long>(at * 8 + bit);
      const char flipped = static_cast<char>(bytes[at] ^ (1 << bit));
      (void)!::pwrite(fd, &flipped, 1, static_cast<off_t>(at));
      ::alarm(60);
      ++outcomes[Read(path, stop == UINT64_MAX ? stop : at + stop)];
      ::alarm(0);
      (void)!::pwrite(fd, &bytes[at], 1, static_cast<off_t>(at));
    }
    if (at % 1024 == 1023) {
      std::fprintf(stderr, "\rdamaged_sweep: %zu of %zu bytes", at + 1, flips);
    }
  }
  std::fprintf(stderr, "\n");
  std::printf("intact file: %s, %zu bytes, peak %ld KiB\n", intact.c_str(), bytes.size(),
              intact_kib);
  for (const auto& [what, n] : outcomes) std::printf("%8ld  %s\n", n, what.c_str());
  std::printf("flips: %zu, peak %ld KiB (%.2f x the intact read)\n", flips * 8, PeakKiB(),
              static_cast<double>(PeakKiB()) / static_cast<double>(intact_kib));
  return 0;
}
