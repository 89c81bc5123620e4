#include "lib/learn/forest_object.h"

#include <array>
#include <cmath>
#include <new>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "core/parameters.h"
#include "estimator/estimator_shap.h"
#include "lib/binding.h"
#include "lib/convert.h"
#include "lib/gil.h"
#include "lib/learn/columns.h"
#include "lib/learn/errors.h"
#include "lib/learn/py_values.h"
#include "lib/py_ref.h"
#include "lib/py_type.h"

namespace corvane::learn {

namespace {

ForestObject& as_forest(PyObject* self) {
  return instance_of<ForestObject>(self, forest_type, "Forest");
}

template <class Body>
PyObject* method(PyObject* self, Body&& body) {
  return guarded([&]() -> PyObject* {
    // A reference of this call's own: the object may be dropped by another
    // thread while this one predicts without the interpreter lock.
    const std::shared_ptr<const EstimatorForest> forest = as_forest(self).forest;
    return body(*forest);
  });
}

// The columns of a prediction call, checked against the forest's features.
FeatureColumns prediction_columns(const EstimatorForest& forest, PyObject* list) {
  FeatureColumns input = read_feature_columns(list);
  const std::vector<FeatureInfo>& features = forest.features();
  if (input.columns.size() != features.size())
    raise_type_error("the forest reads " + std::to_string(features.size()) + " features but " +
                     std::to_string(input.columns.size()) + " columns were given");
  for (std::size_t f = 0; f < features.size(); ++f) {
    if (!features[f].kind) continue;  // no split tests it
    const bool codes = input.columns[f].type == InputColumn::Type::kCode;
    if (kind_of(input.columns[f].type) != *features[f].kind)
      raise_type_error("feature '" + forest.feature_names()[f] + "' is " +
                       std::string(feature_kind_name(*features[f].kind)) +
                       (codes ? " but category codes were given" : " but numbers were given"));
  }
  return input;
}

// A writable float64 buffer of exactly `values` contiguous values.
BufferView output_buffer(PyObject* obj, std::size_t values, const char* what) {
  BufferView view(obj, what, true);
  if (view.code() != 'd' || view.stride() != static_cast<std::ptrdiff_t>(sizeof(double)) ||
      view.size() != values)
    raise_type_error(std::string(what) + " must be a contiguous float64 array of " +
                     std::to_string(values) + " values");
  return view;
}

constexpr std::array<const char*, 4> kPredictParams = {"columns", "n_threads", "out", "spread"};
constexpr std::array<const char*, 3> kResponseParams = {"columns", "n_threads", "out"};
constexpr std::array<const char*, 4> kShapParams = {"columns", "n_threads", "out", "base"};
constexpr std::array<const char*, 1> kFieldsParam = {"fields"};
constexpr std::array<const char*, 2> kSaveParams = {"path", "fields"};
constexpr std::array<const char*, 1> kTypeParam = {"importance_type"};
constexpr std::array<const char*, 1> kTreeParam = {"index"};
constexpr std::array<const char*, 1> kMemoParam = {"memo"};

// A method on rows (columns, n_threads, then its outputs): binds `params`,
// reads the columns (checked against the forest) and the thread count, then
// runs body(forest, input, n_threads, a), which makes its outputs and works
// without the interpreter lock; returns None.
template <std::size_t N, class Body>
PyObject* rows_method(PyObject* self, const char* name, const std::array<const char*, N>& params,
                      PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Body&& body) {
  return method(self, [&](const EstimatorForest& forest) -> PyObject* {
    PyObject* a[N] = {};
    bind_arguments({name, params}, args, nargs, kwnames, a);
    FeatureColumns input = prediction_columns(forest, a[0]);
    const std::int32_t n_threads = with_param("n_threads", [&] { return to_i32(a[1]); });
    body(forest, input, n_threads, a);
    Py_RETURN_NONE;
  });
}

double* values_of(const BufferView& view) { return reinterpret_cast<double*>(view.mutable_data()); }

PyObject* predict(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return rows_method(self, "Forest.predict()", kPredictParams, args, nargs, kwnames,
                     [](const EstimatorForest& forest, const FeatureColumns& input,
                        std::int32_t n_threads, PyObject* const* a) {
                       const std::size_t values = input.rows * forest.width();
                       BufferView out = output_buffer(a[2], values, "out");
                       std::optional<BufferView> spread;
                       if (a[3] != Py_None) spread.emplace(output_buffer(a[3], values, "spread"));
                       const ColumnOutput target{values_of(out),
                                                 spread ? values_of(*spread) : nullptr};
                       GilReleased unlocked;
                       forest.predict(input.columns, input.rows, n_threads, target);
                     });
}

PyObject* predict_response(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  return rows_method(
      self, "Forest.predict_response()", kResponseParams, args, nargs, kwnames,
      [](const EstimatorForest& forest, const FeatureColumns& input, std::int32_t n_threads,
         PyObject* const* a) {
        BufferView out = output_buffer(a[2], input.rows * (forest.width() + 1), "out");
        GilReleased unlocked;
        forest.predict_response(input.columns, input.rows, n_threads, values_of(out));
      });
}

PyObject* shap_values(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return rows_method(self, "Forest.shap_values()", kShapParams, args, nargs, kwnames,
                     [](const EstimatorForest& forest, const FeatureColumns& input,
                        std::int32_t n_threads, PyObject* const* a) {
                       BufferView out = output_buffer(
                           a[2], input.rows * forest.features().size() * forest.width(), "out");
                       BufferView base = output_buffer(a[3], forest.width(), "base");
                       GilReleased unlocked;
                       explain_columns(forest, input.columns, input.rows, n_threads, values_of(out),
                                       values_of(base));
                     });
}

PyObject* to_bytes(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return method(self, [&](const EstimatorForest& forest) -> PyObject* {
    PyObject* a[1] = {};
    bind_arguments({"Forest.to_bytes()", kFieldsParam}, args, nargs, kwnames, a);
    const std::string fields = bytes_value(a[0], "fields");
    std::string text;
    {
      GilReleased unlocked;
      text = forest.text(fields, kEstimatorMember);
    }
    PyObject* result = PyBytes_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    if (!result) throw PythonErrorSet{};
    return result;
  });
}

PyObject* save(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return method(self, [&](const EstimatorForest& forest) -> PyObject* {
    PyObject* a[2] = {};
    bind_arguments({"Forest.save()", kSaveParams}, args, nargs, kwnames, a);
    const std::string path = with_param("path", [&] { return to_string(a[0]); });
    const std::string fields = bytes_value(a[1], "fields");
    on_file(a[0], [&] {
      GilReleased unlocked;
      forest.save(path, fields, kEstimatorMember, run_signal_handlers);
    });
    Py_RETURN_NONE;
  });
}

PyObject* importance(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return method(self, [&](const EstimatorForest& forest) -> PyObject* {
    PyObject* a[1] = {};
    bind_arguments({"Forest.importance()", kTypeParam}, args, nargs, kwnames, a);
    const std::string type = with_param("importance_type", [&] { return to_string(a[0]); });
    return float_list(forest.importance(type));
  });
}

PyObject* feature_names(PyObject* self, PyObject*) {
  return method(self, [&](const EstimatorForest& forest) -> PyObject* {
    return str_list(forest.feature_names());
  });
}

PyObject* features(PyObject* self, PyObject*) {
  return method(self, [&](const EstimatorForest& forest) -> PyObject* {
    const std::vector<FeatureInfo>& infos = forest.features();
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(infos.size())));
    if (!list) throw PythonErrorSet{};
    for (std::size_t f = 0; f < infos.size(); ++f) {
      PyRef kind =
          infos[f].kind ? new_str(feature_kind_name(*infos[f].kind)) : PyRef::borrow(Py_None);
      PyRef categories = infos[f].kind == FeatureKind::kCategorical
                             ? PyRef::steal(str_list(infos[f].categories))
                             : PyRef::borrow(Py_None);
      PyRef pair = PyRef::steal(PyTuple_Pack(2, kind.get(), categories.get()));
      if (!pair) throw PythonErrorSet{};
      PyList_SetItem(list.get(), static_cast<Py_ssize_t>(f), pair.release());
    }
    return list.release();
  });
}

PyObject* to_python(std::uint64_t v) { return PyLong_FromUnsignedLongLong(v); }
PyObject* to_python(bool v) { return PyBool_FromLong(v); }
PyObject* to_python(double v) { return PyFloat_FromDouble(v); }
PyObject* to_python(const std::string& v) { return new_str(v).release(); }

PyObject* info(PyObject* self, PyObject*) {
  return method(self, [&](const EstimatorForest& forest) -> PyObject* {
    const UpliftRandomForestModel& m = forest.forest();
    Dict d;
    d.set("n_estimators", PyLong_FromLong(m.n_estimators));
    d.set("n_trees", PyLong_FromSize_t(m.trees().size()));
    d.set("width", PyLong_FromSize_t(forest.width()));
    d.set("has_counts", PyBool_FromLong(forest.has_counts()));
    d.set("outcome", PyUnicode_FromString(forest.real_outcome() ? "real" : "binary"));
    d.set("knows_categories", PyBool_FromLong(forest.knows_categories()));
    // Every hyper-parameter the trees keep, under its name.
    const TreeParameters kept = m.tree();
    visit_parameters(kept, [&](const ParameterInfo& param, const auto& value) {
      d.set(std::string(param.name).c_str(), to_python(value));
    });
    return d.release();
  });
}

// The numbers of stored node k's statistics, group by group (for a binary
// outcome [n0, y0, n1, y1, ...] as ints, for a real one [n0, sum0, squares0,
// ...] as floats).
PyObject* stats_list(const EstimatorForest& forest, std::size_t t, std::uint32_t k) {
  return std::visit(
      [&]<class Stats>(const std::vector<Stats>& stats) -> PyObject* {
        const std::size_t groups = forest.width() + 1;
        std::vector<double> numbers;
        numbers.resize(groups * Stats::kNumbers);
        for (std::size_t g = 0; g < groups; ++g)
          stats[k * groups + g].to_numbers(numbers.data() + g * Stats::kNumbers);
        if constexpr (std::is_same_v<Stats, BinaryStats>) {
          std::vector<std::int32_t> counts(numbers.begin(), numbers.end());
          return int_list(counts);
        } else {
          return float_list(numbers);
        }
      },
      forest.node_stats(t));
}

// One tree's stored nodes as lists (for inspection): positions, the feature
// each split tests (-1 for a leaf), its threshold or category, its gain,
// each leaf's uplifts, every node's statistics and rows (None where unknown).
PyObject* tree(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return method(self, [&](const EstimatorForest& forest) -> PyObject* {
    PyObject* a[1] = {};
    bind_arguments({"Forest.tree()", kTreeParam}, args, nargs, kwnames, a);
    const std::uint64_t index = with_param("index", [&] { return to_u64(a[0]); });
    const std::vector<UpliftTreeModel>& trees = forest.forest().trees();
    if (index >= trees.size()) {
      PyErr_SetString(PyExc_IndexError, ("the forest has " + std::to_string(trees.size()) +
                                         " trees; there is no tree " + std::to_string(index))
                                            .c_str());
      throw PythonErrorSet{};
    }
    const NodeArray& nodes = trees[index].nodes;
    const auto n = static_cast<Py_ssize_t>(nodes.stored());
    PyRef positions = PyRef::steal(PyList_New(n));
    PyRef features = PyRef::steal(PyList_New(n));
    PyRef thresholds = PyRef::steal(PyList_New(n));
    PyRef gains = PyRef::steal(PyList_New(n));
    PyRef values = PyRef::steal(PyList_New(n));
    PyRef counts = PyRef::steal(PyList_New(n));
    PyRef rows = PyRef::steal(PyList_New(n));
    if (!positions || !features || !thresholds || !gains || !values || !counts || !rows)
      throw PythonErrorSet{};
    for (std::uint32_t k = 0; k < nodes.stored(); ++k) {
      const TreeNode& node = nodes.nodes()[k];
      const auto i = static_cast<Py_ssize_t>(k);
      const bool leaf = nodes.route(k).leaf;
      set_item(positions.get(), i, PyLong_FromUnsignedLongLong(nodes.position(k)));
      set_item(features.get(), i, PyLong_FromLong(leaf ? -1 : node.col_idx));
      if (leaf)
        set_item(thresholds.get(), i, PyRef::borrow(Py_None).release());
      else if (node.split_value.is_numeric())
        set_item(thresholds.get(), i, PyFloat_FromDouble(node.split_value.number()));
      else
        set_item(thresholds.get(), i, new_str(node.split_value.text()).release());
      set_item(gains.get(), i, PyFloat_FromDouble(node.gain));
      set_item(values.get(), i, leaf ? float_list(node.prob) : PyRef::borrow(Py_None).release());
      if (!forest.has_counts()) {
        set_item(counts.get(), i, PyRef::borrow(Py_None).release());
        set_item(rows.get(), i, PyRef::borrow(Py_None).release());
        continue;
      }
      set_item(counts.get(), i, stats_list(forest, index, k));
      set_item(rows.get(), i, PyLong_FromUnsignedLongLong(forest.node_rows(index, k)));
    }
    Dict d;
    d.set("positions", positions.release());
    d.set("features", features.release());
    d.set("thresholds", thresholds.release());
    d.set("gains", gains.release());
    d.set("values", values.release());
    d.set("counts", counts.release());
    d.set("rows", rows.release());
    return d.release();
  });
}

// The forest never changes, so a copy may share it.
PyObject* copy_self(PyObject* self, PyObject*) { return PyRef::borrow(self).release(); }
PyObject* deepcopy_self(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[1] = {};
    bind_arguments({"Forest.__deepcopy__()", kMemoParam}, args, nargs, kwnames, a);
    return PyRef::borrow(self).release();
  });
}

PyMethodDef* method_table() {
  static PyMethodDef table[] = {
      keywords_method<predict>("predict",
                               "predict($self, columns, n_threads, out, spread)\n--\n\n"
                               "Fills `out` (and `spread`, unless None) with each row's uplifts."),
      keywords_method<predict_response>(
          "predict_response",
          "predict_response($self, columns, n_threads, out)\n--\n\n"
          "Fills `out` with each row's positive rate per group, control first."),
      keywords_method<shap_values>(
          "shap_values",
          "shap_values($self, columns, n_threads, out, base)\n--\n\n"
          "Fills `out` with each row's Shapley values of the uplift (rows x features x "
          "treatments)\nand `base` with each treatment's base value."),
      keywords_method<to_bytes>(
          "to_bytes",
          "to_bytes($self, fields)\n--\n\nThe model file text with the estimator's fields."),
      keywords_method<save>("save",
                            "save($self, path, fields)\n--\n\nWrites the model file safely."),
      keywords_method<importance>(
          "importance",
          "importance($self, importance_type)\n--\n\n\"gain\" (weighted by rows) or \"split\"."),
      {"feature_names", feature_names, METH_NOARGS, "feature_names($self)\n--\n\n"},
      {"features", features, METH_NOARGS,
       "features($self)\n--\n\n(kind or None, categories or None) per feature."},
      {"info", info, METH_NOARGS, "info($self)\n--\n\nTree counts and hyper-parameters."},
      keywords_method<tree>("tree",
                            "tree($self, index)\n--\n\nThe stored nodes of one tree, as lists."),
      {"__copy__", copy_self, METH_NOARGS, nullptr},
      keywords_method<deepcopy_self>("__deepcopy__", nullptr),
      {nullptr, nullptr, 0, nullptr},
  };
  return table;
}

}  // namespace

PyObject* forest_type() {
  static PyObject* type = nullptr;
  static PyType_Slot slots[] = {
      {Py_tp_dealloc,
       reinterpret_cast<void*>(dealloc_instance<ForestObject, &ForestObject::forest>)},
      {Py_tp_methods, method_table()},
      {Py_tp_doc, const_cast<char*>("A trained uplift forest; never changes once made.")},
      {0, nullptr},
  };
  static PyType_Spec description = {
      "corvane_learn._core.Forest",
      static_cast<int>(sizeof(ForestObject)),
      0,
      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
      slots,
  };
  return heap_type(type, description);
}

PyObject* wrap_forest(std::shared_ptr<const EstimatorForest> forest) {
  PyObject* type = forest_type();
  if (!type) throw PythonErrorSet{};
  return new_instance<ForestObject, &ForestObject::forest>(reinterpret_cast<PyTypeObject*>(type),
                                                           std::move(forest));
}

const std::shared_ptr<const EstimatorForest>& forest_of(PyObject* obj) {
  return as_forest(obj).forest;
}

}  // namespace corvane::learn
