#pragma once
// Freshness of a client's streams without a round trip: counted as the samples arrive, read
// at once. A robot that stops publishing shows a growing age and a rate falling to 0 within
// a second; a slow robot shows a steady age and a rate below the expected one.

#include <cstdint>

#include "client/client.hpp"

namespace korvel::quor {

struct StreamStatus {
  std::uint64_t received = 0;     // samples since the client subscribed, decodable or not
  std::uint64_t undecodable = 0;  // of these, samples whose payload did not decode
  double age_s = 0.0;             // seconds since the latest sample; infinity before the first
  double rate_hz = 0.0;           // samples that arrived in the last second
  // The latest decoded sample's full joint lists are not as long as when the client
  // connected: the robot came back with another layout, and states()/actions() answer with
  // empty maps until a new client is made.
  bool layout_changed = false;
};

struct ClientStreamStatus {
  StreamStatus basic;
  StreamStatus extra;
};

ClientStreamStatus GetStreamStatus(const Client& client);

}  // namespace korvel::quor
