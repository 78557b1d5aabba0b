// libFuzzer target: a whole file read as every reader of recordings reads it: opened and
// checked, the summary's counts taken, every block decoded, the end described, a window read
// through the file's index, and the raw samples a replay takes. Whatever the bytes, each path ends
// cleanly or with RecordingError; anything else that comes out (another exception, a crash, an
// allocation the file cannot justify under the run's memory limit) is a finding.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include <spdlog/spdlog.h>

#include "recording/reader_access.hpp"
#include "recording/recording_reader.hpp"

namespace {

using korvel::quor::RecordedBlock;
using korvel::quor::RecordingError;
using korvel::quor::RecordingReader;
using korvel::quor_impl::RawRecorded;
using korvel::quor_impl::RecordingReaderAccess;

// The input as a file: the reader opens a path, as it does in use.
const std::string& Path(const std::uint8_t* data, std::size_t size) {
  static const int fd = ::memfd_create("recording", 0);
  static const std::string path = "/proc/self/fd/" + std::to_string(fd);
  if (fd < 0 || ::ftruncate(fd, 0) != 0 ||
      ::pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) {
    std::abort();
  }
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  spdlog::set_level(spdlog::level::off);  // the assembly's complaints about bad samples
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string& path = Path(data, size);
  (void)RecordingReaderAccess::SummaryCounts(path);
  try {
    // Small blocks: block edges fall everywhere.
    RecordingReader reader(path, {7});
    RecordedBlock block;
    while (reader.Next(block)) {
    }
    (void)reader.end().Describe(path);
  } catch (const RecordingError&) {
  }
  try {
    // A window: the chunks are found through the index the bytes hold, if any.
    RecordingReader window(path, {7, true, true, 1, UINT64_MAX / 2});
    RecordedBlock block;
    while (window.Next(block)) {
    }
  } catch (const RecordingError&) {
  }
  try {
    RecordingReader raw = RecordingReaderAccess::OpenRaw(path, 7);
    RawRecorded samples;
    while (RecordingReaderAccess::NextRaw(raw, samples)) {
    }
  } catch (const RecordingError&) {
  }
  return 0;
}
