#pragma once
// The transport layer in one include.
//
// Everything here is spelled zenoh::... as in zenoh-cpp, but lives in the inline namespace
// zenoh::kq: at link level the names are this project's own, so a program may also use
// zenoh-cpp (or its own zenoh) without clashing symbols.

#include "zenoh/bytes.hpp"
#include "zenoh/config.hpp"
#include "zenoh/exception.hpp"
#include "zenoh/ext/deserializer.hpp"
#include "zenoh/ext/serializer.hpp"
#include "zenoh/keyexpr.hpp"
#include "zenoh/querier.hpp"
#include "zenoh/sample.hpp"
#include "zenoh/session.hpp"
#include "zenoh/subscriber.hpp"
