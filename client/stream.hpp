#pragma once
// The robot's two data streams.

namespace korvel::quor {

enum class Stream {
  Basic,  // measured states, system state and I/O (states())
  Extra,  // desired values (actions())
};

}  // namespace korvel::quor
