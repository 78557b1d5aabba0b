#pragma once
// Turns captured samples into columns: each decoded sample becomes one row, cut into the
// client's joint groups by the very assembly that states() and actions() use.

#include <cstddef>
#include <vector>

#include "capture/captured_sample.hpp"
#include "capture/columns.hpp"
#include "client/client_access.hpp"

namespace korvel::quor_impl {

// Appends samples[0, n) (arrival order) to `out`. `keep_raw` also fills out.raw.
void AppendBasic(const std::vector<CapturedSample<zenoh_msgs::quor_msg::AllBasicStreamData>>& samples,
                 std::size_t n, const ClientLayout& layout, bool keep_raw, quor::BasicBatch& out);
void AppendExtra(const std::vector<CapturedSample<zenoh_msgs::quor_msg::AllExtraStreamData>>& samples,
                 std::size_t n, const ClientLayout& layout, bool keep_raw, quor::ExtraBatch& out);

}  // namespace korvel::quor_impl
