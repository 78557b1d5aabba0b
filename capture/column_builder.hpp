#pragma once
// Turns captured samples into columns: each decoded sample becomes one row, cut into the
// client's joint groups by the very assembly that states() and actions() use.

#include <cstddef>
#include <type_traits>
#include <vector>

#include "capture/captured_sample.hpp"
#include "capture/columns.hpp"
#include "client/client_access.hpp"
#include "stream/stream_traits.hpp"

namespace korvel::quor_impl {

// The batch and the per-group columns of a stream's samples.
template <Stream S>
using BatchOf = std::conditional_t<S == Stream::Basic, quor::BasicBatch, quor::ExtraBatch>;
template <Stream S>
using ColumnsOf = std::conditional_t<S == Stream::Basic, quor::StateColumns, quor::ActionColumns>;

template <Stream S>
BatchOf<S>& BatchIn(quor::CaptureBatch& batch) {
  if constexpr (S == Stream::Basic) {
    return batch.basic;
  } else {
    return batch.extra;
  }
}

// Appends samples[0, n) (arrival order) of stream S to `out`. `keep_raw` also fills out.raw.
template <Stream S>
void Append(const std::vector<CapturedSample<MessageOf<S>>>& samples, std::size_t n,
            const ClientLayout& layout, bool keep_raw, BatchOf<S>& out);

// Appends samples[0, n) to out.raw only, as received: no rows, no groups.
template <Stream S>
void AppendPayloads(const std::vector<CapturedSample<MessageOf<S>>>& samples, std::size_t n,
                    BatchOf<S>& out);

// Makes room for `rows` more rows (a recording's block, whose length is known before it is
// decoded): the columns of the layout's groups then grow once, not as each chunk comes.
void ReserveRows(std::size_t rows, const ClientLayout& layout, quor::BasicBatch& out);
void ReserveRows(std::size_t rows, const ClientLayout& layout, quor::ExtraBatch& out);

}  // namespace korvel::quor_impl
