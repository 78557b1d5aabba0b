#include "capture/stream_status.hpp"

#include <limits>

#include "client/client_access.hpp"

namespace korvel::quor {

namespace {

StreamStatus FromCounters(const quor_impl::StreamCounters& c, std::int64_t now_ns,
                          std::size_t learnt_joint_count) {
  StreamStatus s;
  s.received = c.received;
  s.undecodable = c.undecodable;
  s.age_s = c.last_steady_ns < 0 ? std::numeric_limits<double>::infinity()
                                 : static_cast<double>(now_ns - c.last_steady_ns) * 1e-9;
  s.rate_hz = c.rate_hz;
  s.layout_changed =
      learnt_joint_count != 0 && c.received > c.undecodable && c.joint_count != learnt_joint_count;
  return s;
}

}  // namespace

ClientStreamStatus GetStreamStatus(const Client& client) {
  const auto monitor = quor_impl::ClientAccess::Monitor(client);
  // Each stream against its own length: the extra lists may be longer than the basic ones.
  const std::size_t basic = quor_impl::ClientAccess::JointCount(client);
  const std::size_t extra = quor_impl::ClientAccess::ExtraJointCount(client).value_or(0);
  const std::int64_t now = quor_impl::NowSampleTime().steady_ns;
  return {FromCounters(monitor->Counters(quor::Stream::Basic, now), now, basic),
          FromCounters(monitor->Counters(quor::Stream::Extra, now), now, extra)};
}

}  // namespace korvel::quor
