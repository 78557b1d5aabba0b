#pragma once
// korvelquor for C++ programs: a read-only client of one Korvel robot controller.
//
//   #include <korvelquor.hpp>
//   korvel::quor::Client client("AB-4s-012345");
//   for (const auto& [group, s] : client.states()) { ... s.q ... s.tcp_wrench ... }
//
// Link korvelquor::korvelquor (CMake: find_package(korvelquor CONFIG REQUIRED)).

#include "capture/capture.hpp"             // every sample of both streams, as columns
#include "capture/stream_status.hpp"       // freshness of the streams without a round trip
#include "client/client.hpp"               // Client, kClientVersion
#include "client/joint_group.hpp"          // JointGroup, kJointGroupNames
#include "client/records.hpp"              // RobotStates, RobotActions, PrimitiveStates, PlanInfo
#include "client/version.hpp"              // LibraryVersion()
#include "recording/recording_reader.hpp"  // RecordingReader: recordings as capture batches
#include "zenoh/exception.hpp"             // zenoh::ZException, thrown when zenoh itself fails
