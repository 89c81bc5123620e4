// Every method runs the same steps: check self, mark the instance in use,
// bind and convert the arguments, call the forest, convert the result. The
// marker and all failures are handled here, once for all methods.
#include "lib/model_methods.h"

#include <algorithm>
#include <array>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "lib/binding.h"
#include "lib/call_guard.h"
#include "lib/convert.h"
#include "lib/data_set_pylist.h"
#include "lib/gc_pause.h"
#include "lib/gil.h"
#include "lib/model_class.h"
#include "lib/progress.h"
#include "lib/py_list.h"
#include "lib/py_ref.h"
#include "lib/py_type.h"
#include "lib/rows.h"
#include "uplift_random_forest/forest_model_file.h"
#include "uplift_random_forest/prediction_run.h"

namespace corvane {

namespace {

enum class Use { Shared, Exclusive };

// Marks the instance in use for the duration of one method call. Only read
// and written under the interpreter lock, so a plain counter suffices.
class InUse {
 public:
  InUse(ModelObject& obj, Use use) : obj_(obj) {
    if (use == Use::Exclusive) {
      if (obj.in_use != 0) runtime_error(msg::kAlreadyBorrowed);
      obj.in_use = -1;
    } else {
      if (obj.in_use == -1) runtime_error(msg::kAlreadyMutablyBorrowed);
      ++obj.in_use;
    }
  }
  ~InUse() { obj_.in_use = obj_.in_use == -1 ? 0 : obj_.in_use - 1; }
  InUse(const InUse&) = delete;
  InUse& operator=(const InUse&) = delete;

 private:
  [[noreturn]] static void runtime_error(const char* text) {
    PyErr_SetString(PyExc_RuntimeError, text);
    throw PythonErrorSet{};
  }
  ModelObject& obj_;
};

template <Use use, class Body>
PyObject* method(PyObject* self, Body&& body) {
  return guarded([&]() -> PyObject* {
    ModelObject& obj = instance_of<ModelObject>(self, model_type, "_UpliftRandomForestModel");
    InUse marker(obj, use);
    return body(obj.forest);
  });
}

PyObject* new_str(const std::string& s) {
  PyObject* o = PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "surrogatepass");
  if (!o) throw PythonErrorSet{};
  return o;
}

constexpr std::array<const char*, 5> kFitParams = {"data", "x_names", "treatment_col",
                                                   "outcome_col", "n_threads"};
constexpr std::array<const char*, 1> kPathParam = {"path"};
constexpr std::array<const char*, 2> kPredictParams = {"data", "n_threads"};
constexpr std::array<const char*, 1> kPredictRowParams = {"x"};
constexpr std::array<const char*, 1> kImportanceParams = {"importance_type"};

// A result that cannot be built for want of memory fails as every other
// allocation of a call does.
[[noreturn]] void result_failed() {
  if (PyErr_ExceptionMatches(PyExc_MemoryError)) {
    PyErr_Clear();
    throw std::bad_alloc();
  }
  throw PythonErrorSet{};
}

PyObject* float_list(std::span<const double> values) {
  return list_of(values, PyFloat_FromDouble, result_failed);
}

// The one argument, `path`, of the method `display`.
std::string path_argument(const char* display, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  PyObject* a[1] = {};
  bind_arguments({display, kPathParam}, args, nargs, kwnames, a);
  return with_param("path", [&] { return to_string(a[0]); });
}

PyObject* load(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return method<Use::Exclusive>(self, [&](UpliftRandomForestModel& forest) -> PyObject* {
    const std::string path = path_argument("_UpliftRandomForestModel.load()", args, nargs, kwnames);
    // Reading and parsing need nothing of Python; the in-use marker keeps
    // other threads off this instance meanwhile. The forest is replaced only
    // once the new one is complete, with the lock held again.
    UpliftRandomForestModel loaded;
    {
      GilReleased unlocked;
      loaded = load_model_file(path, run_signal_handlers);
    }
    forest = std::move(loaded);
    Py_RETURN_NONE;
  });
}

PyObject* predict(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return method<Use::Shared>(self, [&](UpliftRandomForestModel& forest) -> PyObject* {
    PyObject* a[2] = {};
    bind_arguments({"_UpliftRandomForestModel.predict()", kPredictParams}, args, nargs, kwnames, a);
    const std::vector<PyRef> lists = with_param("data", [&] { return to_list_sequence(a[0]); });
    const std::int32_t n_threads = with_param("n_threads", [&] { return to_i32(a[1]); });
    const std::shared_ptr<const ForestRouting> routing = forest.routing();
    std::size_t longest = 0;
    for (const PyRef& list : lists)
      longest = std::max(longest, static_cast<std::size_t>(PyList_Size(list.get())));
    RowBatch rows(routing->layout(), lists.size(), longest);
    // With several threads, walking starts on the first rows while the rest
    // are still converted (the walkers never touch Python objects).
    std::unique_ptr<PredictionRun> run;
    bool run_tried = false;
    append_rows(lists, rows, [&](std::size_t converted) {
      if (!run_tried) {
        run_tried = true;
        run = forest.start_prediction(*routing, rows, lists.size(), n_threads);
      }
      if (run) run->publish(converted);
    });

    Predictions result;
    {
      // The rows are copied out and the forest is only read (others can
      // only read it too while this call holds the instance): other Python
      // threads may run meanwhile.
      GilReleased unlocked;
      result = run ? run->finish() : forest.predict_rows(*routing, rows, n_threads);
    }
    // One new list per row: see GcPause.
    GcPause pause;
    PyRef out = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(result.size())));
    if (!out) result_failed();
    for (std::size_t i = 0; i < result.size(); ++i)
      PyList_SetItem(out.get(), static_cast<Py_ssize_t>(i), float_list(result.row(i)));
    return out.release();
  });
}

PyObject* predict_row(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return method<Use::Shared>(self, [&](UpliftRandomForestModel& forest) -> PyObject* {
    PyObject* a[1] = {};
    bind_arguments({"_UpliftRandomForestModel.predict_row()", kPredictRowParams}, args, nargs,
                   kwnames, a);
    PyObject* list = with_param("x", [&] { return require_list(a[0]); });
    const std::shared_ptr<const ForestRouting> routing = forest.routing();
    RowBatch row(routing->layout(), 1, static_cast<std::size_t>(PyList_Size(list)));
    append_row(list, row);
    return float_list(forest.predict_row(*routing, row.row(0)));
  });
}

PyObject* get_feature_importance(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  return method<Use::Shared>(self, [&](UpliftRandomForestModel& forest) -> PyObject* {
    PyObject* a[1] = {};
    bind_arguments({"_UpliftRandomForestModel.get_feature_importance()", kImportanceParams}, args,
                   nargs, kwnames, a);
    const std::string type = with_param("importance_type", [&] { return to_string(a[0]); });
    return float_list(forest.get_feature_importance(type));
  });
}

PyObject* fit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return method<Use::Exclusive>(self, [&](UpliftRandomForestModel& forest) -> PyObject* {
    PyObject* a[5] = {};
    bind_arguments({"_UpliftRandomForestModel.fit()", kFitParams}, args, nargs, kwnames, a);
    auto data = with_param("data", [&] { return to_column_dict(a[0]); });
    auto x_names = with_param("x_names", [&] { return to_string_sequence(a[1]); });
    auto treatment_col = with_param("treatment_col", [&] { return to_string(a[2]); });
    auto outcome_col = with_param("outcome_col", [&] { return to_string(a[3]); });
    const std::int32_t n_threads = with_param("n_threads", [&] { return to_i32(a[4]); });

    // The column store is the last thing read from Python: once it is built
    // the lock is released for the training, and progress lines and signal
    // checks take it back for their moments. It is held again before the
    // Python references above are dropped, and for whatever fit throws.
    std::optional<GilReleased> unlocked;
    PythonProgress progress;
    const FitReport report = forest.fit(
        [&] {
          RawData raw = raw_data_from_pylist(data, std::move(x_names), treatment_col, outcome_col);
          unlocked.emplace();
          return raw;
        },
        treatment_col, outcome_col, n_threads, progress);
    unlocked.reset();
    if (report.all_roots_nan_gain) {
      const std::string text =
          msg::all_roots_nan_gain(report.smallest_group, report.smallest_group_rows);
      // Raises when warnings are turned into errors; the trees stay.
      if (PyErr_WarnEx(PyExc_RuntimeWarning, text.c_str(), 1) < 0) throw PythonErrorSet{};
    }
    Py_RETURN_NONE;
  });
}

PyObject* save(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return method<Use::Shared>(self, [&](UpliftRandomForestModel& forest) -> PyObject* {
    const std::string path = path_argument("_UpliftRandomForestModel.save()", args, nargs, kwnames);
    {
      GilReleased unlocked;
      save_model_file(forest, path, run_signal_handlers);
    }
    Py_RETURN_NONE;
  });
}

PyObject* feature_cols(PyObject* self, PyObject*) {
  return method<Use::Shared>(self, [&](UpliftRandomForestModel& forest) -> PyObject* {
    if (forest.trees().empty()) fail(msg::kUnwrapNone);
    return list_of(forest.trees().front().feature_cols, new_str);
  });
}

}  // namespace

PyMethodDef* model_method_table() {
  static PyMethodDef table[] = {
      keywords_method<load>("load", "load($self, path)\n--\n\n"),
      keywords_method<fit>(
          "fit", "fit($self, data, x_names, treatment_col, outcome_col, n_threads)\n--\n\n"),
      keywords_method<predict>("predict", "predict($self, data, n_threads)\n--\n\n"),
      keywords_method<predict_row>("predict_row", "predict_row($self, x)\n--\n\n"),
      keywords_method<save>("save", "save($self, path)\n--\n\n"),
      {"feature_cols", feature_cols, METH_NOARGS, "feature_cols($self)\n--\n\n"},
      keywords_method<get_feature_importance>(
          "get_feature_importance", "get_feature_importance($self, importance_type)\n--\n\n"),
      {nullptr, nullptr, 0, nullptr},
  };
  return table;
}

}  // namespace corvane
