#pragma once
// An MCAP file written through the MCAP crate's writer: chunked and compressed as asked,
// every record framed by the crate. A failed write (disk full) throws WriteError and leaves
// the file ending on its last whole record; Salvage() then closes it readable.

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>

namespace korvel::mcapfile {

enum class Compression : std::uint32_t { kNone = 0, kZstd = 1, kLz4 = 2 };

// What failed, with the path and the system's words; os_error is errno (0 if not the system's).
class WriteError : public std::runtime_error {
 public:
  WriteError(const std::string& what, int os_error);
  ~WriteError() override;
  int os_error() const noexcept { return os_error_; }

 private:
  int os_error_;
};

// One stream's samples for Writer::Merged (columns of equal length, offsets one longer).
struct StreamSamples {
  std::uint16_t channel = 0;
  std::span<const std::int64_t> mono_ns;
  std::span<const std::uint64_t> log_ns;
  std::span<const std::uint64_t> publish_ns;
  std::span<const std::uint32_t> sequence;
  std::span<const std::uint64_t> offsets;
  const std::uint8_t* data = nullptr;
};

class Writer {
 public:
  using Entries = std::map<std::string, std::string>;

  // Creates (or empties) the file; throws WriteError ("cannot write PATH: ..."). A chunk is
  // closed once its messages reach `chunk_bytes` uncompressed.
  Writer(const std::string& path, Compression compression, std::uint64_t chunk_bytes);
  Writer(Writer&&) noexcept;
  Writer& operator=(Writer&&) noexcept;
  ~Writer();  // closes the file as it is (complete only after Finish)

  void Start(std::string_view profile, std::string_view library);
  void Metadata(std::string_view name, const Entries& entries);
  std::uint16_t Schema(std::string_view name, std::string_view encoding,
                       std::span<const std::uint8_t> data);
  // schema 0: none.
  std::uint16_t Channel(std::uint16_t schema, std::string_view topic,
                        std::string_view message_encoding, const Entries& metadata);
  void Message(std::uint16_t channel, std::uint32_t sequence, std::uint64_t log_time,
               std::uint64_t publish_time, std::span<const std::uint8_t> data);
  // Merged by mono_ns; each stream keeps its order, ties go to the earlier stream.
  // std::invalid_argument when a stream's columns differ in length.
  void Merged(std::span<const StreamSamples> streams);
  // Ends the chunk in progress and writes it out.
  void Flush();
  // The closing records: the file is complete and closed.
  void Finish();
  // After a WriteError: a metadata record `name` of these entries and the closing records if
  // there is room; closes the file. True when they went in.
  bool Salvage(std::string_view name, const Entries& end);
  // Bytes in the file, all of them whole records.
  std::uint64_t size() const;

 private:
  struct Handle;
  std::unique_ptr<Handle> h_;
};

}  // namespace korvel::mcapfile
