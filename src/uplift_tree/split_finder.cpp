#include "uplift_tree/split_finder.h"

#include "core/error.h"

namespace corvane {

Splitter splitter_called(std::string_view name) {
  for (std::size_t i = 0; i < kSplitterNames.size(); ++i)
    if (kSplitterNames[i] == name) return static_cast<Splitter>(i);
  std::string known;
  for (std::string_view word : kSplitterNames) {
    if (!known.empty()) known += ", ";
    known += "'" + std::string(word) + "'";
  }
  fail("unknown splitter '" + std::string(name) + "': expected one of " + known);
}

template <class Stats>
std::unique_ptr<const SplitFinder<Stats>> make_split_finder(Splitter kind, const RawData& data,
                                                            const FinderSettings& settings) {
  switch (kind) {
    case Splitter::kSampledQuantiles:
      return make_sampled_quantile_finder<Stats>(data);
    case Splitter::kHistogram:
      return make_histogram_finder<Stats>(data, settings);
  }
  return nullptr;
}

#define CORVANE_INSTANTIATE_FINDERS(Stats)                                     \
  template std::unique_ptr<const SplitFinder<Stats>> make_split_finder<Stats>( \
      Splitter, const RawData&, const FinderSettings&);
CORVANE_EACH_OUTCOME_STATS(CORVANE_INSTANTIATE_FINDERS)

}  // namespace corvane
