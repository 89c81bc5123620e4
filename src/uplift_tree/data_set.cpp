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
  return DataSet(std::make_shared<const RawData>(std::move(raw)), std::move(all), std::move(pool));
}

void add_counts(const RawData& raw, const std::vector<std::uint32_t>& rows, GroupCounts& counts) {
  const std::int32_t* treatment = raw.treatment.data();
  const std::int8_t* outcome = raw.outcome.data();
  std::int32_t* c = counts.data();
  for (std::uint32_t r : rows) {
    const std::size_t g = static_cast<std::size_t>(treatment[r]);
    c[2 * g] += 1;
    c[2 * g + 1] += outcome[r];
  }
}

GroupCounts DataSet::summary() const {
  GroupCounts counts(2 * raw_->n_groups(), 0);
  add_counts(*raw_, indices(), counts);
  return counts;
}

}  // namespace corvane
