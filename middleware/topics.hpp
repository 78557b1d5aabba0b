#pragma once
// Key expressions of a robot: kTopicPrefix + normalized serial number + suffix, joined
// with no further separator or escaping.

namespace korvel::zenoh_mdw {

inline constexpr const char* kTopicPrefix = "korvel/robot/";
inline constexpr const char* kRpcSuffix = "/rpc";
inline constexpr const char* kBasicStreamSuffix = "/basic_stream_data";
inline constexpr const char* kExtraStreamSuffix = "/extra_stream_data";

}  // namespace korvel::zenoh_mdw
