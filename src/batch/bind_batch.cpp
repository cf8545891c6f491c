// Batch entry points: every row of an array learnt, predicted or transformed in one call.
// The caller keeps the interpreter lock throughout, so no Python code can touch the model
// while threads train ensemble members.
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "batch/inputs.hpp"
#include "batch/loops.hpp"
#include "batch/prequential.hpp"
#include "ensemble/member_steps.hpp"
#include "batch/bind_batch.hpp"
#include "io/csv_engine.hpp"

namespace kavro::native {

namespace {

namespace py = pybind11;
using batch::Model;
using batch::Table;

// learn_one of every row in order; an ensemble with member steps trains its members on
// `threads` threads instead, with the same result.
template <class Target, class Learner>
void learn_rows(Learner& learner, const Table& t, const std::vector<Target>& ys, unsigned threads,
                const char* fn) {
    if (auto* e = batch::member_steps_of<Target>(&learner); e != nullptr && threads > 1) {
        batch::learn_rows_by_members(*e, t, ys, threads, fn);
        return;
    }
    batch::for_each_record(t, fn, [&](const FeatureMap& x, std::size_t r) { learner.learn_one(x, ys[r]); });
}

void learn_many(py::handle obj, py::handle columns, std::size_t rows, py::handle names,
                py::handle y, int n_jobs) {
    constexpr const char* fn = "learn_many";
    if (py::isinstance<IAnomalyDetector>(obj)) {  // learns without labels
        if (!y.is_none()) {
            throw py::value_error(std::string(fn) + ": anomaly detectors learn without labels; y must be None.");
        }
        batch::read_n_jobs(fn, n_jobs);
        const auto detector = obj.cast<std::shared_ptr<IAnomalyDetector>>();
        const Table t = batch::read_table(fn, columns, rows, names);
        batch::for_each_record(t, fn, [&](const FeatureMap& x, std::size_t) { detector->learn_one(x); });
        return;
    }
    const Model m = batch::read_model(fn, obj);
    const unsigned threads = batch::read_n_jobs(fn, n_jobs);
    const Table t = batch::read_table(fn, columns, rows, names);
    const bool has_y = !y.is_none();
    if (!has_y && !m.transformer) {
        throw py::value_error(std::string(fn) + ": y is required to learn a " +
                              (m.classifier ? "classifier" : "regressor") + " (" + m.type_name +
                              ").");
    }
    if (m.classifier) {
        learn_rows(*m.classifier, t, batch::read_labels(fn, y, rows), threads, fn);
    } else if (m.regressor) {
        learn_rows(*m.regressor, t, batch::read_values(fn, y, rows), threads, fn);
    } else {
        ITransformer& tr = *m.transformer;
        if (!has_y) {
            if (tr.requires_target()) {
                throw py::value_error(std::string(fn) + ": " + m.type_name +
                                      " learns from a target; y is required.");
            }
            batch::for_each_record(t, fn, [&](const FeatureMap& x, std::size_t) { tr.learn_one(x); });
            return;
        }
        const auto ys = batch::read_values(fn, y, rows);
        batch::for_each_record(t, fn, [&](const FeatureMap& x, std::size_t r) { tr.learn_one(x, ys[r]); });
    }
}

py::array predict_many(py::handle obj, py::handle columns, std::size_t rows, py::handle names) {
    constexpr const char* fn = "predict_many";
    const Model m = batch::read_model(fn, obj);
    if (m.transformer) {
        throw py::type_error(std::string(fn) + ": expected a classifier or regressor (got " +
                             m.type_name + "); use transform_many for a transformer.");
    }
    const Table t = batch::read_table(fn, columns, rows, names);
    if (m.classifier) {
        py::array_t<std::int64_t> out(static_cast<py::ssize_t>(rows));
        std::int64_t* o = out.mutable_data();
        IClassifier& c = *m.classifier;
        batch::for_each_record(t, fn, [&](const FeatureMap& x, std::size_t r) { o[r] = c.predict_one(x); });
        return std::move(out);
    }
    py::array_t<double> out(static_cast<py::ssize_t>(rows));
    double* o = out.mutable_data();
    IRegressor& g = *m.regressor;
    batch::for_each_record(t, fn, [&](const FeatureMap& x, std::size_t r) { o[r] = g.predict_one(x); });
    return std::move(out);
}

// Dicts as the bindings' map conversion builds them, entry by entry in the map's order.
py::object steal_checked(PyObject* p) {
    if (p == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(p);
}

void set_item(PyObject* dict, PyObject* key, double value) {
    py::object v = steal_checked(PyFloat_FromDouble(value));
    if (PyDict_SetItem(dict, key, v.ptr()) != 0) throw py::error_already_set();
}

py::list predict_proba_many(py::handle obj, py::handle columns, std::size_t rows,
                            py::handle names) {
    constexpr const char* fn = "predict_proba_many";
    const Model m = batch::read_model(fn, obj);
    if (!m.classifier) {
        throw py::type_error(std::string(fn) + ": expected a classifier (got " + m.type_name + ").");
    }
    const Table t = batch::read_table(fn, columns, rows, names);
    py::list out(static_cast<py::ssize_t>(rows));
    IClassifier& c = *m.classifier;
    batch::for_each_record(t, fn, [&](const FeatureMap& x, std::size_t r) {
        const ProbabilityMap proba = c.predict_proba_one(x);
        py::object dict = steal_checked(PyDict_New());
        for (const auto& [label, p] : proba) {
            py::object key = steal_checked(PyLong_FromLong(label));
            set_item(dict.ptr(), key.ptr(), p);
        }
        PyList_SET_ITEM(out.ptr(), static_cast<Py_ssize_t>(r), dict.release().ptr());
    });
    return out;
}

py::list transform_many(py::handle obj, py::handle columns, std::size_t rows, py::handle names) {
    constexpr const char* fn = "transform_many";
    const Model m = batch::read_model(fn, obj);
    if (!m.transformer) {
        throw py::type_error(std::string(fn) + ": expected a transformer (got " + m.type_name + ").");
    }
    const Table t = batch::read_table(fn, columns, rows, names);
    // One key object per column, shared by every output dict.
    std::vector<py::object> key_objects;
    std::unordered_map<std::string_view, PyObject*> keys;
    for (const auto& name : t.names) {
        key_objects.push_back(
            steal_checked(PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), nullptr)));
        keys.emplace(name, key_objects.back().ptr());
    }
    py::list out(static_cast<py::ssize_t>(rows));
    ITransformer& tr = *m.transformer;
    batch::for_each_record(t, fn, [&](const FeatureMap& x, std::size_t r) {
        const FeatureMap result = tr.transform_one(x);
        py::object dict = steal_checked(PyDict_New());
        for (const auto& [name, v] : result) {
            const auto it = keys.find(name);
            if (it != keys.end()) {
                set_item(dict.ptr(), it->second, v);
            } else {
                py::object key = steal_checked(
                    PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), nullptr));
                set_item(dict.ptr(), key.ptr(), v);
            }
        }
        PyList_SET_ITEM(out.ptr(), static_cast<Py_ssize_t>(r), dict.release().ptr());
    });
    return out;
}

#ifdef KAVRO_BENCH_HOOKS
// CPU seconds the model's own learn_one / predict_one / transform_one take over the records
// of every row, built beforehand (not timed). Benchmark helper.
double learner_seconds(py::handle obj, py::handle columns, std::size_t rows, py::handle names,
                       py::handle y, const std::string& what) {
    constexpr const char* fn = "learner_seconds";
    const Model m = batch::read_model(fn, obj);
    const bool learn = what == "learn";
    if (!learn && what != (m.transformer ? "transform" : "predict")) {
        throw py::value_error(std::string(fn) + ": what must be 'learn' or '" +
                              (m.transformer ? "transform" : "predict") + "' for " + m.type_name +
                              ".");
    }
    const Table t = batch::read_table(fn, columns, rows, names);
    std::vector<FeatureMap> xs;
    xs.reserve(rows);
    batch::RecordBuilder builder(t.names);
    batch::for_each_chunk(t, fn, [&](std::size_t, std::size_t n, const double* cells) {
        for (std::size_t r = 0; r < n; ++r) xs.push_back(builder.build(cells + r * t.columns.size()));
    });
    std::vector<ClassLabel> labels;
    std::vector<double> values;
    if (learn && m.classifier) labels = batch::read_labels(fn, y, rows);
    if (learn && !m.classifier && !y.is_none()) values = batch::read_values(fn, y, rows);
    if (learn && m.regressor && y.is_none()) throw py::value_error(std::string(fn) + ": y is required.");

    volatile double sink = 0.0;
    const double start = batch::thread_cpu_seconds();
    if (m.classifier) {
        IClassifier& c = *m.classifier;
        for (std::size_t r = 0; r < rows; ++r) {
            if (learn) c.learn_one(xs[r], labels[r]);
            else sink = sink + c.predict_one(xs[r]);
        }
    } else if (m.regressor) {
        IRegressor& g = *m.regressor;
        for (std::size_t r = 0; r < rows; ++r) {
            if (learn) g.learn_one(xs[r], values[r]);
            else sink = sink + g.predict_one(xs[r]);
        }
    } else {
        ITransformer& tr = *m.transformer;
        for (std::size_t r = 0; r < rows; ++r) {
            if (!learn) sink = sink + static_cast<double>(tr.transform_one(xs[r]).size());
            else if (values.empty()) tr.learn_one(xs[r]);
            else tr.learn_one(xs[r], values[r]);
        }
    }
    return batch::thread_cpu_seconds() - start;
}

#endif

// Members learn_many trains on separate threads (0: the model learns row by row).
std::size_t parallel_members(py::handle obj) {
    const Model m = batch::read_model("parallel_members", obj);
    if (m.classifier) {
        if (auto* e = batch::member_steps_of<ClassLabel>(m.classifier.get())) return e->n_members();
    } else if (m.regressor) {
        if (auto* e = batch::member_steps_of<double>(m.regressor.get())) return e->n_members();
    }
    return 0;
}

}  // namespace

void bind_batch(py::module_& m) {
    bind_prequential(m);
    io::bind_csv_engine(m);
    const auto columns_doc =
        " columns: list of 1-D NumPy arrays of `rows` real, integer or bool cells, one per "
        "feature; names: their distinct feature names (str). A NaN cell leaves the feature out of "
        "that row's record.";
    m.def("learn_many", &learn_many, py::arg("model"), py::arg("columns"), py::arg("rows"),
          py::arg("names"), py::arg("y") = py::none(), py::arg("n_jobs") = 1,
          (std::string("Learn every row in order, exactly as learn_one on each row's record would; "
                       "ensemble members train on n_jobs threads (-1: every core). Inputs are "
                       "checked before any row is learnt; on KeyboardInterrupt the rows before a "
                       "multiple of 2048 were learnt (the exception's note says how many) and the "
                       "rest were not.") +
           columns_doc)
              .c_str());
    m.def("predict_many", &predict_many, py::arg("model"), py::arg("columns"), py::arg("rows"),
          py::arg("names"),
          (std::string("predict_one of every row: int64 labels or float64 values.") + columns_doc).c_str());
    m.def("predict_proba_many", &predict_proba_many, py::arg("model"), py::arg("columns"),
          py::arg("rows"), py::arg("names"),
          (std::string("predict_proba_one of every row, as a list of dicts.") + columns_doc).c_str());
    m.def("transform_many", &transform_many, py::arg("model"), py::arg("columns"), py::arg("rows"),
          py::arg("names"),
          (std::string("transform_one of every row, as a list of dicts.") + columns_doc).c_str());
#ifdef KAVRO_BENCH_HOOKS
    m.def("learner_seconds", &learner_seconds, py::arg("model"), py::arg("columns"),
          py::arg("rows"), py::arg("names"), py::arg("y") = py::none(), py::arg("what") = "learn",
          "CPU seconds the model's own learn_one, predict_one or transform_one ('learn', 'predict', "
          "'transform') take over the records of every row, built beforehand and not timed "
          "(benchmark helper).");
    m.def("member_thread_seconds", [] { return batch::member_thread_seconds(); },
          "CPU seconds each thread spent on member steps in the last learn_many that trained "
          "ensemble members on threads (benchmark figure).");
#endif
    m.def("parallel_members", &parallel_members, py::arg("model"),
          "Number of members learn_many trains on separate threads (0: rows are learnt in turn).");
}

}  // namespace kavro::native
