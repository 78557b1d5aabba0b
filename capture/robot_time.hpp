#pragma once
// The robot's timestamp as one number of nanoseconds, the one conversion every writer and
// reader of samples uses. The robot sends two words: signed seconds, then nanoseconds as an
// unsigned word, which the client keeps bit for bit in a signed pair (a word of 2^31 or more
// reads negative there). The nanosecond word is therefore taken back as unsigned here.

#include <algorithm>
#include <cstdint>
#include <limits>
#include <utility>

namespace korvel::quor {

inline constexpr std::int64_t kNsPerSecond = 1'000'000'000;

// Nanoseconds since the epoch; negative for a stamp before it.
constexpr std::int64_t RobotTimeNs(std::int32_t seconds, std::int32_t nanoseconds) {
  return std::int64_t{seconds} * kNsPerSecond +
         std::int64_t{static_cast<std::uint32_t>(nanoseconds)};
}

// As an MCAP time, which has no sign: a stamp before the epoch is 0.
constexpr std::uint64_t RobotTimeFileNs(std::int32_t seconds, std::int32_t nanoseconds) {
  return static_cast<std::uint64_t>(std::max<std::int64_t>(RobotTimeNs(seconds, nanoseconds), 0));
}

// The stamp of a file time: exactly the words sent for every stamp at or after the epoch with
// nanoseconds below 10^9; nothing else can be told apart in one number.
constexpr std::pair<std::int32_t, std::int32_t> RobotTimeOfFileNs(std::uint64_t ns) {
  const std::uint64_t seconds =
      std::min<std::uint64_t>(ns / kNsPerSecond, std::numeric_limits<std::int32_t>::max());
  return {static_cast<std::int32_t>(seconds), static_cast<std::int32_t>(ns % kNsPerSecond)};
}

}  // namespace korvel::quor
