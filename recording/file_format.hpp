#pragma once
// The names and constants of a recording file, stated once for the writer (recording_writer)
// and every reader, the Python ones included (korvelquor_capture.RECORDING_FORMAT; the file's
// full description is korvelquor_tools.fileformat's).

#include <array>
#include <cstddef>
#include <string>

#include "client/client.hpp"
#include "middleware/topics.hpp"

namespace korvel::quor::recording_format {

inline constexpr const char* kFormatVersion = "1";
inline constexpr const char* kProfile = "korvelquor";
// The robot protocol the client speaks, recorded so that a reader knows the payloads.
inline constexpr const char* kProtocolVersion = kClientVersion;
inline constexpr const char* kMessageEncoding = "zenoh/serialized";
inline constexpr std::array<const char*, 2> kStreams = {"basic", "extra"};

inline constexpr const char* kMetaRecording = "korvelquor.recording";
inline constexpr const char* kMetaLayout = "korvelquor.layout";
inline constexpr const char* kMetaEnd = "korvelquor.end";
inline constexpr const char* kMetaPlanInfo = "korvelquor.plan_info";
inline constexpr const char* kMetaScore = "korvelquor.configuration_score";
inline constexpr const char* kMetaPrimitives = "korvelquor.primitive_states";
// The viewable channels' record (rate and schemas), when a file has them.
inline constexpr const char* kMetaViewable = "korvelquor.viewable";
// A remote call the robot refused is recorded as {kErrorKey: its error text}.
inline constexpr const char* kErrorKey = "error";
// Channel metadata naming the stream a raw channel carries.
inline constexpr const char* kStreamKey = "stream";
// Messages are chunked at about this many uncompressed bytes.
inline constexpr std::size_t kChunkBytes = std::size_t{1} << 20;

inline constexpr const char* kExpected = "an MCAP recording made by `korvelquor record`";

// The key expression a stream's samples arrive on, and the topic of its channel.
inline std::string Topic(const std::string& serial, const std::string& stream) {
  return std::string(zenoh_mdw::kTopicPrefix) + serial +
         (stream == "basic" ? zenoh_mdw::kBasicStreamSuffix : zenoh_mdw::kExtraStreamSuffix);
}

}  // namespace korvel::quor::recording_format
