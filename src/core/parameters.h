// Every hyper-parameter, declared once. Each line below gives a parameter's
// C++ type, its name (the extension's argument, the model file's key and the
// field's name), the estimator's name for it, the estimator's default (as a
// Python literal), the bounds the estimator accepts and a short description.
// Everything else is derived from these lines: the fields of the forest and
// of the tree, the tree's settings copied from the forest's, the extension's
// constructor arguments (names and order), the estimator module's train()
// arguments, and the table the estimator builds its parameter validation and
// documentation from (corvane_learn._core.PARAMETERS). The model file's
// records name their fields from here too; their order is the file format's.
//
// Adding a parameter: one line here (TREE for what every tree keeps,
// TRAINING for what only shapes a training call of the estimator), its use
// where trees are grown, and its keyword in the estimator's __init__.
#pragma once

#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <type_traits>

namespace corvane {

inline constexpr double kNoBound = std::numeric_limits<double>::quiet_NaN();
inline constexpr double kInt32Max = 2147483647.0;

// X(type, name, initial value, estimator name, default, low, high, closed,
// description): the initial value is that of a field in C++ (a forest made
// without settings has zeros; the extension has no defaults); `closed` says
// which bounds are included ("both", "left", "right", "neither"); a bound of
// kNoBound is none.

// What every tree keeps of its forest's settings, in the extension's order.
#define CORVANE_TREE_PARAMETERS(X)                                                      \
  X(std::uint64_t, max_features, 0, "max_features", "'sqrt'", 1, kNoBound, "left",      \
    "Features drawn at random as split candidates at each node.")                       \
  X(std::uint64_t, max_depth, 0, "max_depth", "5", 1, 63, "both",                       \
    "Maximum depth of a tree (the root has depth 0).")                                  \
  X(std::uint64_t, min_sample_leaf, 0, "min_samples_leaf", "100", 1, kNoBound, "left",  \
    "Splits must leave more than this many rows on both sides.")                        \
  X(std::string, eval_func, "", "criterion", "'KL'", kNoBound, kNoBound, "both",        \
    "Divergence between treatment and control outcomes that splits maximise.")          \
  X(std::uint64_t, max_bins, 0, "max_bins", "10", 2, kNoBound, "left",                  \
    "Candidate thresholds per numeric feature and node, plus one.")                     \
  X(bool, balance, false, "balance", "False", kNoBound, kNoBound, "both",               \
    "Weigh every treatment group equally instead of by its share of the treated rows.") \
  X(bool, regularization, false, "regularization", "True", kNoBound, kNoBound, "both",  \
    "Divide a split's gain by a penalty for uneven group shares between its sides.")    \
  X(double, alpha, 0.0, "alpha", "0.9", 0, 1, "both",                                   \
    "Weight of the treatment/control imbalance within that penalty.")

// A forest's settings: the number of trees, then what its trees keep; the
// extension's constructor takes them in this order.
#define CORVANE_FOREST_PARAMETERS(X)                                            \
  X(std::int32_t, n_estimators, 0, "n_estimators", "100", 1, kInt32Max, "both", \
    "Number of trees.")                                                         \
  CORVANE_TREE_PARAMETERS(X)

// What shapes one training call of the estimator besides the forest's
// settings; the extension always trains with their first values.
#define CORVANE_TRAINING_PARAMETERS(X)                                                            \
  X(bool, honesty, false, "honesty", "False", kNoBound, kNoBound, "both",                         \
    "Choose each tree's splits on one part of the rows and estimate its leaves on the other.")    \
  X(double, estimation_share, 0.5, "estimation_sample_size", "0.5", 0, 1, "neither",              \
    "With honesty, the share of each group's rows that estimate the leaves.")                     \
  X(std::string, splitter, "quantile", "splitter", "'quantile'", kNoBound, kNoBound, "both",      \
    "How split candidates are found: 'quantile' (per node, from a sample of its rows) or 'hist' " \
    "(bins chosen once per fit).")                                                                \
  X(std::uint64_t, max_samples, 0, "max_samples", "None", 0, kNoBound, "left",                    \
    "Rows drawn per tree without replacement (0 or None: all rows).")

#define CORVANE_PARAMETER_FIELD(type, name, init, ...) type name = init;

struct TreeParameters {
  CORVANE_TREE_PARAMETERS(CORVANE_PARAMETER_FIELD)
};

struct ForestParameters {
  CORVANE_FOREST_PARAMETERS(CORVANE_PARAMETER_FIELD)

  // The settings each of the forest's trees keeps.
  TreeParameters tree() const {
    TreeParameters p;
#define CORVANE_COPY_PARAMETER(type, name, ...) p.name = name;
    CORVANE_TREE_PARAMETERS(CORVANE_COPY_PARAMETER)
#undef CORVANE_COPY_PARAMETER
    return p;
  }
};

struct TrainingParameters {
  CORVANE_TRAINING_PARAMETERS(CORVANE_PARAMETER_FIELD)
};

#undef CORVANE_PARAMETER_FIELD

// One parameter as the table describes it.
struct ParameterInfo {
  std::string_view name;
  std::string_view estimator_name;
  std::string_view default_literal;
  double low;
  double high;
  std::string_view closed;
  std::string_view description;
};

// Calls visit(param, field) for every parameter of `params` (a ForestParameters,
// TreeParameters or TrainingParameters, const or not), in declaration order.
template <class Params, class Visit>
void visit_parameters(Params& params, Visit&& visit) {
#define CORVANE_VISIT_PARAMETER(type, name, init, estimator, fallback, low, high, closed, doc) \
  visit(ParameterInfo { #name, estimator, fallback, low, high, closed, doc }, params.name);
  using Plain = std::remove_const_t<Params>;
  if constexpr (std::is_same_v<Plain, ForestParameters>) {
    CORVANE_FOREST_PARAMETERS(CORVANE_VISIT_PARAMETER)
  } else if constexpr (std::is_same_v<Plain, TreeParameters>) {
    CORVANE_TREE_PARAMETERS(CORVANE_VISIT_PARAMETER)
  } else {
    static_assert(std::is_same_v<Plain, TrainingParameters>);
    CORVANE_TRAINING_PARAMETERS(CORVANE_VISIT_PARAMETER)
  }
#undef CORVANE_VISIT_PARAMETER
}

// The names of the parameters of `Params`, in declaration order.
template <class Params>
constexpr auto parameter_names() {
#define CORVANE_PARAMETER_NAME(type, name, ...) #name,
  if constexpr (std::is_same_v<Params, ForestParameters>) {
    return std::array{CORVANE_FOREST_PARAMETERS(CORVANE_PARAMETER_NAME)};
  } else if constexpr (std::is_same_v<Params, TreeParameters>) {
    return std::array{CORVANE_TREE_PARAMETERS(CORVANE_PARAMETER_NAME)};
  } else {
    static_assert(std::is_same_v<Params, TrainingParameters>);
    return std::array{CORVANE_TRAINING_PARAMETERS(CORVANE_PARAMETER_NAME)};
  }
#undef CORVANE_PARAMETER_NAME
}

// `name`, checked at compile time to be that of a declared parameter: for
// the places that must spell a parameter (the model file's records).
consteval std::string_view parameter_name(std::string_view name) {
  for (std::string_view declared : parameter_names<ForestParameters>())
    if (declared == name) return name;
  for (std::string_view declared : parameter_names<TrainingParameters>())
    if (declared == name) return name;
  throw "no parameter has this name";  // not a constant: the build stops here
}

}  // namespace corvane
