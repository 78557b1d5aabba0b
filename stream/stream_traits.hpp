#pragma once
// What differs between the two streams, in one place: their message, the record they are
// assembled into, their name in log lines and topics, and their joint lists' length.
// Everything else handles a stream through these traits, the same way for both.

#include <cstddef>
#include <type_traits>

#include "client/records.hpp"
#include "client/stream.hpp"
#include "middleware/topics.hpp"
#include "msgs/basic_stream_data.hpp"
#include "msgs/extra_stream_data.hpp"

namespace korvel::quor_impl {

using quor::Stream;

template <Stream S>
struct StreamTraits;

template <>
struct StreamTraits<Stream::Basic> {
  using Message = zenoh_msgs::quor_msg::AllBasicStreamData;
  using Record = quor::RobotStates;
  static constexpr const char* kName = "basic";
  static constexpr const char* kTopicSuffix = zenoh_mdw::kBasicStreamSuffix;
  static std::size_t JointCount(const Message& m) { return m.joint_data.q.size(); }
};

template <>
struct StreamTraits<Stream::Extra> {
  using Message = zenoh_msgs::quor_msg::AllExtraStreamData;
  using Record = quor::RobotActions;
  static constexpr const char* kName = "extra";
  static constexpr const char* kTopicSuffix = zenoh_mdw::kExtraStreamSuffix;
  static std::size_t JointCount(const Message& m) { return m.joint_data.q_d.size(); }
};

constexpr const char* StreamName(Stream s) {
  return s == Stream::Basic ? StreamTraits<Stream::Basic>::kName
                            : StreamTraits<Stream::Extra>::kName;
}

template <Stream S>
using MessageOf = typename StreamTraits<S>::Message;

// Calls f(std::integral_constant<Stream, S>) for the basic, then the extra stream.
template <class F>
void ForEachStream(F&& f) {
  f(std::integral_constant<Stream, Stream::Basic>{});
  f(std::integral_constant<Stream, Stream::Extra>{});
}

}  // namespace korvel::quor_impl
