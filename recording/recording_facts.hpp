#pragma once
// The metadata records a recording begins with, stated once for every recorder (the C++
// Recorder and `korvelquor record`): the recording's facts, the client's layout, plan info,
// configuration score and primitive states. Numbers and texts are written as Python's repr
// and json.dumps write them, so that files read the same whoever made them.

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "client/client.hpp"
#include "client/client_access.hpp"
#include "recording/recorder.hpp"

namespace korvel::quor_impl {

using FactRecord = std::map<std::string, std::string>;
using FactRecords = std::vector<std::pair<std::string, FactRecord>>;

// In the order they go into the file, korvelquor.recording first. A remote call the robot
// refuses (or answers with text that is not UTF-8) is recorded as its error text.
FactRecords ConnectionFacts(const quor::Client& client, std::int64_t started_ns,
                            const std::string& tools_version);

FactRecord LayoutRecord(const ClientLayout& layout);
// The layout a layout record holds, checked as the client checks the robot's start-ID reply
// (a file may come from anywhere): std::invalid_argument naming the first value that fails.
ClientLayout LayoutFromRecord(const FactRecord& record, const std::string& serial);
FactRecord PlanInfoRecord(const quor::PlanInfo& info);
FactRecord ScoreRecord(const std::map<quor::JointGroup, std::pair<double, double>>& scores);
FactRecord PrimitivesRecord(const std::map<quor::JointGroup, quor::PrimitiveStates>& states);

// The record a recording ends with: what stopped it, when, after how many seconds, the
// samples received and dropped per stream, and the error when a write failed.
FactRecord EndRecord(const quor::RecordingSummary& summary, std::int64_t ended_ns);

}  // namespace korvel::quor_impl
