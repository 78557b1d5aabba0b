#pragma once
// The transport layer in one include.

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
