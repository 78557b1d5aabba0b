#pragma once
// The version of the installed library (its CMake package version), e.g. "0.2.0". The
// protocol version the client speaks with the robot is kClientVersion, a different thing.

namespace korvel::quor {

const char* LibraryVersion() noexcept;

}  // namespace korvel::quor
