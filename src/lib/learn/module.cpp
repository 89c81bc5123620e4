// The estimator's own native module, corvane_learn._core: training from
// arrays, prediction into arrays and model files through the core's writer
// and reader, for corvane_learn only (not a public interface).
#include <Python.h>

#include <algorithm>
#include <array>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <unordered_set>
#include <utility>
#include <vector>

#include "concurrency/processors.h"
#include "core/error.h"
#include "estimator/estimator_forest.h"
#include "lib/binding.h"
#include "lib/convert.h"
#include "lib/forest_parameters.h"
#include "lib/gil.h"
#include "lib/learn/columns.h"
#include "lib/learn/errors.h"
#include "lib/learn/forest_object.h"
#include "lib/learn/numeric_columns.h"
#include "lib/learn/py_values.h"
#include "lib/py_ref.h"
#include "lib/py_type.h"
#include "uplift_tree/criteria.h"
#include "uplift_tree/data_builder.h"
#include "uplift_tree/split_finder.h"

namespace corvane::learn {

namespace {

// Calls progress(done, total) with the interpreter lock after every tree;
// an exception it raises (or Ctrl-C) abandons the training and reaches the
// caller as it is.
// Thread-safety: used only by the thread that runs the training.
class CallbackProgress : public ProgressSink {
 public:
  CallbackProgress(PyObject* callback, std::int32_t total) : callback_(callback), total_(total) {}
  void print(std::string_view) override {}
  void started(std::int32_t) override {}
  void tree_finished(std::size_t held) override {
    // Trees may finish faster than the waits between polls end: Ctrl-C is
    // looked for after every tree too, in the same moment with the lock.
    GilHeld gil;
    if (PyErr_CheckSignals() < 0) throw PythonErrorSet{};
    if (callback_ == Py_None) return;
    PyRef result =
        PyRef::steal(PyObject_CallFunction(callback_, "ni", static_cast<Py_ssize_t>(held), total_));
    if (!result) throw PythonErrorSet{};
  }
  void poll() override { run_signal_handlers(); }

 private:
  PyObject* callback_;
  std::int32_t total_;
};

std::vector<std::string> category_texts(PyObject* list, const std::string& name) {
  if (!PyList_Check(list)) raise_type_error("the categories of '" + name + "' must be a list");
  std::vector<std::string> texts;
  const Py_ssize_t n = PyList_Size(list);
  texts.reserve(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PyList_GetItem(list, i);
    if (!PyUnicode_Check(item)) raise_type_error("the categories of '" + name + "' must be str");
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(item, &size);
    if (!utf8) {
      PyErr_Clear();
      PyErr_SetString(PyExc_ValueError, ("column '" + name +
                                         "' holds a category that is not valid text (it "
                                         "cannot be encoded as UTF-8, for instance a lone "
                                         "surrogate)")
                                            .c_str());
      throw PythonErrorSet{};
    }
    texts.emplace_back(utf8, static_cast<std::size_t>(size));
  }
  return texts;
}

// The caller's data as read with the interpreter lock: the arrays (held),
// the categorical columns' codes and texts, treatment codes and outcomes.
// build() makes the core's column store from them without the lock.
struct TrainingData {
  FeatureColumns input;
  std::vector<std::string> names;
  std::vector<StrColumn> categorical;  // per feature; empty for numeric ones
  std::vector<FeatureInfo> features;
  std::vector<FeatureKind> kinds;  // per feature
  std::vector<std::int32_t> treatment;
  std::vector<std::int8_t> outcome;
  std::vector<double> real_outcome;  // instead, when `real`
  bool real = false;

  // The column store: numbers as float32, or as bin codes into at most
  // `max_bins` bins when `binned` (on up to `threads` threads). The
  // builder's checks run here.
  RawData build(bool binned, std::uint64_t max_bins, std::int32_t threads) {
    std::vector<const InputColumn*> numeric;
    for (const InputColumn& column : input.columns)
      if (column.type != InputColumn::Type::kCode) numeric.push_back(&column);
    std::vector<std::vector<float>> numbers(binned ? 0 : numeric.size());
    std::vector<BinnedColumn> bins(binned ? numeric.size() : 0);
    if (binned)
      bin_numbers(numeric, input.rows, max_bins, threads, bins);
    else
      copy_numbers(numeric, input.rows, numbers);
    TrainingDataBuilder builder;
    std::size_t next_number = 0;
    for (std::size_t f = 0; f < kinds.size(); ++f) {
      if (kinds[f] == FeatureKind::kCategorical)
        builder.add_categorical(std::move(names[f]), std::move(categorical[f]));
      else if (binned)
        builder.add_binned(std::move(names[f]), std::move(bins[next_number++]));
      else
        builder.add_numeric(std::move(names[f]), std::move(numbers[next_number++]));
    }
    builder.set_treatment(std::move(treatment));
    if (real)
      builder.set_real_outcome(std::move(real_outcome));
    else
      builder.set_outcome(std::move(outcome));
    return builder.finish("treatment", "outcome");
  }
};

// Reads the columns for the core's column store (categories as their codes
// and texts); the caller's arrays are read where they are, by build().
TrainingData training_data(PyObject* columns_obj, PyObject* categories_obj, PyObject* names_obj,
                           PyObject* treatment_obj, PyObject* outcome_obj) {
  TrainingData data;
  data.input = read_feature_columns(columns_obj);
  data.names = with_param("names", [&] { return to_string_sequence(names_obj); });
  if (!PyList_Check(categories_obj)) raise_type_error("categories must be a list");
  const std::size_t features = data.input.columns.size();
  if (data.names.size() != features ||
      static_cast<std::size_t>(PyList_Size(categories_obj)) != features)
    raise_type_error("columns, categories and names differ in length");
  data.features.resize(features);
  data.categorical.resize(features);
  std::unordered_set<std::string> seen;
  for (std::size_t f = 0; f < features; ++f) {
    const std::string& name = data.names[f];
    if (!seen.insert(name).second) {
      PyErr_SetString(PyExc_ValueError, ("duplicate feature name '" + name + "'").c_str());
      throw PythonErrorSet{};
    }
    if (data.input.columns[f].type != InputColumn::Type::kCode) {
      data.features[f] = {FeatureKind::kNumeric, {}};
      data.kinds.push_back(FeatureKind::kNumeric);
      continue;
    }
    StrColumn& column = data.categorical[f];
    column.categories =
        category_texts(PyList_GetItem(categories_obj, static_cast<Py_ssize_t>(f)), name);
    column.codes = to_codes(data.input.buffers[f], column.categories.size(), name);
    data.features[f] = {FeatureKind::kCategorical, column.categories};
    data.kinds.push_back(FeatureKind::kCategorical);
  }
  data.treatment = to_integers<std::int32_t>(BufferView(treatment_obj, "treatment"), "treatment");
  // A float64 outcome is real-valued (the regressor's); int8, 0/1 (the
  // classifier's).
  BufferView outcome(outcome_obj, "outcome");
  data.real = outcome.code() == 'd';
  if (data.real)
    data.real_outcome = to_doubles(outcome, "outcome");
  else
    data.outcome = to_integers<std::int8_t>(outcome, "outcome");
  return data;
}

// The data, the forest's hyper-parameters, the training parameters, then the
// call's own options.
constexpr std::array<const char*, 5> kDataParams = {"columns", "categories", "names", "treatment",
                                                    "outcome"};
constexpr std::array<const char*, 3> kOptionParams = {"n_threads", "seed", "progress"};
constexpr std::size_t kForestAt = kDataParams.size();
constexpr std::size_t kTrainingAt = kForestAt + kForestParameters.size();
constexpr std::size_t kOptionsAt = kTrainingAt + kTrainingParameters.size();
constexpr auto kTrainParams = [] {
  std::array<const char*, kOptionsAt + kOptionParams.size()> names{};
  auto at = std::copy(kDataParams.begin(), kDataParams.end(), names.begin());
  at = std::copy(kForestParameters.begin(), kForestParameters.end(), at);
  at = std::copy(kTrainingParameters.begin(), kTrainingParameters.end(), at);
  std::copy(kOptionParams.begin(), kOptionParams.end(), at);
  return names;
}();

PyObject* train(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[kTrainParams.size()] = {};
    bind_arguments({"train()", kTrainParams}, args, nargs, kwnames, a);
    UpliftRandomForestModel forest = forest_from_parameters(a + kForestAt);
    TrainingOptions options;
    parameters_from<TrainingParameters>(a + kTrainingAt, options);
    PyObject* const* call = a + kOptionsAt;
    const std::int32_t n_threads = with_param("n_threads", [&] { return to_i32(call[0]); });
    options.in_tree_order = true;
    if (call[1] != Py_None) options.seed = with_param("seed", [&] { return to_u64(call[1]); });
    options.keep_node_stats = true;
    // The estimator's leaves never predict NaN for want of a group's rows.
    options.leaves_from_ancestors = true;
    options.any_criterion = true;
    PyObject* callback = call[2];
    if (callback != Py_None && !PyCallable_Check(callback))
      raise_type_error("progress must be callable or None");

    // The histogram finder reads bin codes: the numbers are binned as they
    // are read, never copied as floats (an unknown splitter is refused by
    // the training itself).
    const bool binned =
        options.splitter == kSplitterNames[static_cast<std::size_t>(Splitter::kHistogram)];
    TrainingData data = training_data(a[0], a[1], a[2], a[3], a[4]);
    std::vector<FeatureInfo> features = std::move(data.features);
    CallbackProgress progress(callback, forest.n_estimators);
    FitReport report;
    {
      // Training needs nothing of Python; the progress callback and the
      // signal checks take the lock back for their moments. The arrays are
      // held by `data` until the lock is back.
      GilReleased unlocked;
      report = forest.fit(
          [&] {
            return data.build(binned, forest.max_bins,
                              n_threads < 0 ? available_processors() : n_threads);
          },
          "treatment", "outcome", n_threads, progress, options);
    }
    PyRef wrapped = PyRef::steal(wrap_forest(
        EstimatorForest::trained(std::move(forest), std::move(features),
                                 std::move(report.node_stats), std::move(report.node_rows))));
    PyRef nan_group =
        report.all_roots_nan_gain
            ? PyRef::steal(Py_BuildValue("(ii)", report.smallest_group, report.smallest_group_rows))
            : PyRef::borrow(Py_None);
    if (!nan_group) throw PythonErrorSet{};
    return PyTuple_Pack(2, wrapped.get(), nan_group.get());
  });
}

PyObject* read_result(EstimatorForest::Read read) {
  PyRef wrapped = PyRef::steal(wrap_forest(std::move(read.forest)));
  PyRef fields = read.fields
                     ? PyRef::steal(PyBytes_FromStringAndSize(
                           read.fields->data(), static_cast<Py_ssize_t>(read.fields->size())))
                     : PyRef::borrow(Py_None);
  if (!fields) throw PythonErrorSet{};
  return PyTuple_Pack(2, wrapped.get(), fields.get());
}

constexpr std::array<const char*, 1> kPathParam = {"path"};
constexpr std::array<const char*, 1> kDataParam = {"data"};
constexpr std::array<const char*, 1> kForestsParam = {"forests"};

PyObject* load(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[1] = {};
    bind_arguments({"load()", kPathParam}, args, nargs, kwnames, a);
    const std::string path = with_param("path", [&] { return to_string(a[0]); });
    EstimatorForest::Read read = on_file(a[0], [&] {
      GilReleased unlocked;
      return EstimatorForest::load(path, kEstimatorMember, run_signal_handlers);
    });
    return read_result(std::move(read));
  });
}

PyObject* from_bytes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[1] = {};
    bind_arguments({"from_bytes()", kDataParam}, args, nargs, kwnames, a);
    const std::string text = bytes_value(a[0], "data");
    EstimatorForest::Read read;
    {
      GilReleased unlocked;
      read = EstimatorForest::from_text(text, kEstimatorMember);
    }
    return read_result(std::move(read));
  });
}

PyObject* merge(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[1] = {};
    bind_arguments({"merge()", kForestsParam}, args, nargs, kwnames, a);
    if (!PyList_Check(a[0])) raise_type_error("forests must be a list");
    std::vector<std::shared_ptr<const EstimatorForest>> forests;
    for (Py_ssize_t i = 0; i < PyList_Size(a[0]); ++i)
      forests.push_back(forest_of(PyList_GetItem(a[0], i)));
    std::shared_ptr<const EstimatorForest> merged;
    {
      GilReleased unlocked;
      merged = EstimatorForest::merge(forests);
    }
    return wrap_forest(std::move(merged));
  });
}

PyMethodDef module_functions[] = {
    // Its text signature lists the parameters' table: see train_doc().
    keywords_method<train>("train", nullptr),
    keywords_method<load>("load",
                          "load(path)\n--\n\nReads a model file once: (forest, fields or None)."),
    keywords_method<from_bytes>(
        "from_bytes", "from_bytes(data)\n--\n\nReads model-file text: (forest, fields or None)."),
    keywords_method<merge>(
        "merge", "merge(forests)\n--\n\nEvery tree of the forests, in order, as one forest."),
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "corvane_learn._core",
    "The native part of corvane_learn.",
    0,
    module_functions,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// train()'s docstring: its text signature, from the parameters' one
// declaration, and what it returns.
const char* train_doc() {
  static const std::string doc = [] {
    std::string text = "train(";
    for (std::size_t i = 0; i < kTrainParams.size(); ++i) {
      if (i > 0) text += ", ";
      text += kTrainParams[i];
    }
    return text +
           ")\n--\n\nTrains a forest; returns (forest, None or (group, rows) when every root "
           "stayed a leaf for want of a group's rows).";
  }();
  return doc.c_str();
}

template <class T>
const char* python_type_name() {
  if constexpr (std::is_same_v<T, bool>) return "bool";
  if constexpr (std::is_same_v<T, double>) return "float";
  if constexpr (std::is_same_v<T, std::string>) return "str";
  if constexpr (std::is_integral_v<T> && !std::is_same_v<T, bool>) return "int";
}

PyObject* bound(double value) {
  return value == value ? PyFloat_FromDouble(value) : PyRef::borrow(Py_None).release();
}

// PARAMETERS: every hyper-parameter's entry of the one table, as dicts with
// "name" (train()'s), "estimator" (the estimator's), "type", "default" (a
// Python literal), "low", "high", "closed", "doc" and "group": "forest" (the
// number of trees), "tree" (kept by every tree) or "training".
bool add_parameters(PyObject* module) {
  PyRef list = PyRef::steal(PyList_New(0));
  if (!list) return false;
  constexpr auto kTree = parameter_names<TreeParameters>();
  auto add = [&](const char* fixed_group) {
    return [&, fixed_group](const ParameterInfo& param, const auto& field) {
      const char* group = fixed_group;
      if (std::find(kTree.begin(), kTree.end(), param.name) != kTree.end()) group = "tree";
      Dict d;
      d.set("name", new_str(param.name).release());
      d.set("estimator", new_str(param.estimator_name).release());
      d.set("type", PyUnicode_FromString(python_type_name<std::decay_t<decltype(field)>>()));
      d.set("default", new_str(param.default_literal).release());
      d.set("low", bound(param.low));
      d.set("high", bound(param.high));
      d.set("closed", new_str(param.closed).release());
      d.set("doc", new_str(param.description).release());
      d.set("group", PyUnicode_FromString(group));
      PyRef entry = PyRef::steal(d.release());
      if (PyList_Append(list.get(), entry.get()) < 0) throw PythonErrorSet{};
    };
  };
  const ForestParameters forest;
  visit_parameters(forest, add("forest"));
  const TrainingParameters training;
  visit_parameters(training, add("training"));
  PyRef tuple = PyRef::steal(PyList_AsTuple(list.get()));
  return tuple && PyModule_AddObjectRef(module, "PARAMETERS", tuple.get()) == 0;
}

// CRITERIA: the name of every criterion train() takes, from the one table.
bool add_criteria(PyObject* module) {
  const std::span<const Criterion> all = criteria();
  PyRef names = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(all.size())));
  if (!names) return false;
  for (std::size_t i = 0; i < all.size(); ++i)
    PyTuple_SetItem(names.get(), static_cast<Py_ssize_t>(i), new_str(all[i].name).release());
  return PyModule_AddObjectRef(module, "CRITERIA", names.get()) == 0;
}

// SPLITTERS: the name of every splitter train() takes, in the core's order.
bool add_splitters(PyObject* module) {
  PyRef names = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(kSplitterNames.size())));
  if (!names) return false;
  for (std::size_t i = 0; i < kSplitterNames.size(); ++i)
    PyTuple_SetItem(names.get(), static_cast<Py_ssize_t>(i), new_str(kSplitterNames[i]).release());
  return PyModule_AddObjectRef(module, "SPLITTERS", names.get()) == 0;
}

PyObject* init_module() {
  module_functions[0].ml_doc = train_doc();
  PyRef module = PyRef::steal(PyModule_Create(&module_def));
  if (!module) return nullptr;
  PyObject* type = forest_type();
  if (!type) return nullptr;
  if (PyModule_AddObjectRef(module.get(), "Forest", type) < 0) return nullptr;
  if (!add_criteria(module.get()) || !add_splitters(module.get()) || !add_parameters(module.get()))
    return nullptr;
  return module.release();
}

}  // namespace

}  // namespace corvane::learn

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__core() {
  return corvane::learn::guarded([] { return corvane::learn::init_module(); });
}
