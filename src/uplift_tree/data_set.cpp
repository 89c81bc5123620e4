#include "uplift_tree/data_set.h"

#include <algorithm>
#include <limits>

#include "core/error.h"
#include "core/error_msg.h"

namespace corvane {

DataSet DataSet::from_raw_data(RawData raw) {
  const std::size_t n = raw.n_rows();
  if (n > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()))
    fail(msg::kTooManyRows);

  auto pool = IndexPool::create();
  RowList all = pool->take();
  std::vector<std::uint32_t>& rows = all.mutable_rows();
  rows.reserve(n);
  for (std::size_t r = 0; r < n; ++r) rows.push_back(static_cast<std::uint32_t>(r));
  return DataSet(std::make_shared<const RawData>(std::move(raw)), std::move(all), 0, n,
                 std::move(pool), false);
}

std::span<const std::int8_t> BinaryStats::outcomes(const RawData& raw) { return raw.outcome; }

std::span<const double> RealStats::outcomes(const RawData& raw) { return raw.real_outcome; }

}  // namespace corvane
