// The keyed models' native parts. For the driver, one-pass conversions of a call's keys to
// their numbers, its labels and dict rows to arrays: each answers None when an item needs the
// driver's own checks (a key that is not a plain str or int, a label of another type or
// range, a row that would not rebuild the same dict), so errors keep one wording, the
// driver's. For the shards, every key's rows of a call learnt or predicted in one call.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "batch/inputs.hpp"
#include "batch/loops.hpp"
#include "keyed/bind_keyed.hpp"

namespace kavro::native {

namespace {

namespace py = pybind11;

// key_numbers' step for row i: false when the key is not an exact str or int, or would be
// numbered `limit` or past it.
bool number_key(const py::list& keys, const py::dict& numbers, const py::list& added, Py_ssize_t limit,
                Py_ssize_t i, Py_ssize_t* o) {
    PyObject* key = PyList_GET_ITEM(keys.ptr(), i);
    if (!PyUnicode_CheckExact(key) && !PyLong_CheckExact(key)) return false;
    PyObject* number = PyDict_GetItemWithError(numbers.ptr(), key);
    if (number != nullptr) {
        const Py_ssize_t v = PyLong_AsSsize_t(number);
        if (v == -1 && PyErr_Occurred() != nullptr) throw py::error_already_set();
        o[i] = v;
        return true;
    }
    if (PyErr_Occurred() != nullptr) throw py::error_already_set();
    const Py_ssize_t next = PyDict_GET_SIZE(numbers.ptr());
    if (next >= limit) return false;
    py::object value = py::reinterpret_steal<py::object>(PyLong_FromSsize_t(next));
    if (!value || PyDict_SetItem(numbers.ptr(), key, value.ptr()) != 0 || PyList_Append(added.ptr(), key) != 0) {
        throw py::error_already_set();
    }
    o[i] = next;
    return true;
}

// Each key's number in `numbers` (a dict of plain str / int keys to ints), as an intp array.
// A key without one gets the next number, len(numbers), and is appended to `added`. Only exact
// str and int keys are looked up, so no Python-level __hash__ or __eq__ runs and the list
// cannot change under the loop. A key that is not an exact str or int, or a number past
// `limit`, undoes the numbers given and answers None.
py::object key_numbers(const py::list& keys, const py::dict& numbers, const py::list& added,
                       Py_ssize_t limit) {
    const Py_ssize_t n = PyList_GET_SIZE(keys.ptr());
    const Py_ssize_t added_before = PyList_GET_SIZE(added.ptr());
    auto undo = [&]() -> py::object {
        for (Py_ssize_t i = PyList_GET_SIZE(added.ptr()); i-- > added_before;) {
            if (PyDict_DelItem(numbers.ptr(), PyList_GET_ITEM(added.ptr(), i)) != 0) {
                throw py::error_already_set();
            }
        }
        if (PyList_SetSlice(added.ptr(), added_before, PyList_GET_SIZE(added.ptr()), nullptr) != 0) {
            throw py::error_already_set();
        }
        return py::none();
    };
    py::array_t<Py_ssize_t> out(n);
    Py_ssize_t* o = out.mutable_data();
    try {
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (!number_key(keys, numbers, added, limit, i, o)) return undo();
        }
    } catch (...) {
        undo();
        throw;
    }
    return std::move(out);
}

// The numbers of the int keys among those of key_numbers' dict, for keys given as an int64
// array: one hash lookup per row and no Python object.
class IntKeyNumbers {
public:
    void add(const py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>& keys,
             const py::array_t<Py_ssize_t, py::array::c_style | py::array::forcecast>& numbers) {
        if (keys.ndim() != 1 || numbers.ndim() != 1 || keys.shape(0) != numbers.shape(0)) {
            throw py::value_error("IntKeyNumbers.add: keys and numbers must be 1-D and of one length");
        }
        const std::int64_t* k = keys.data();
        const Py_ssize_t* v = numbers.data();
        for (py::ssize_t i = 0; i < keys.shape(0); ++i) numbers_[k[i]] = v[i];
    }

    // Each key's number as an intp array, numbering keys without one from `next` on in order
    // of first appearance: (numbers, the keys numbered as an int64 array). None, with nothing
    // numbered, when a number would reach `limit`.
    py::object number(const py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>& keys,
                      Py_ssize_t next, Py_ssize_t limit) {
        if (keys.ndim() != 1) throw py::value_error("IntKeyNumbers.number: keys must be 1-D");
        const py::ssize_t n = keys.shape(0);
        py::array_t<Py_ssize_t> out(n);
        Py_ssize_t* o = out.mutable_data();
        const std::int64_t* k = keys.data();
        std::vector<std::int64_t> added;
        for (py::ssize_t i = 0; i < n; ++i) {
            auto [it, fresh] = numbers_.try_emplace(k[i], next);
            if (fresh) {
                if (next >= limit) {
                    numbers_.erase(it);
                    for (std::int64_t key : added) numbers_.erase(key);
                    return py::none();
                }
                added.push_back(k[i]);
                ++next;
            }
            o[i] = it->second;
        }
        py::array_t<std::int64_t> fresh_keys(static_cast<py::ssize_t>(added.size()));
        std::copy(added.begin(), added.end(), fresh_keys.mutable_data());
        return py::make_tuple(std::move(out), std::move(fresh_keys));
    }

    void clear() { numbers_.clear(); }
    std::size_t size() const { return numbers_.size(); }

private:
    std::unordered_map<std::int64_t, Py_ssize_t> numbers_;
};

// The labels as int32 when each is an exact int that fits.
py::object int_labels(const py::list& labels) {
    const Py_ssize_t n = PyList_GET_SIZE(labels.ptr());
    py::array_t<std::int32_t> out(n);
    std::int32_t* o = out.mutable_data();
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* v = PyList_GET_ITEM(labels.ptr(), i);
        if (!PyLong_CheckExact(v)) return py::none();
        int overflow = 0;
        const long long x = PyLong_AsLongLongAndOverflow(v, &overflow);
        if (overflow != 0 || x < std::numeric_limits<std::int32_t>::min() ||
            x > std::numeric_limits<std::int32_t>::max()) {
            return py::none();
        }
        o[i] = static_cast<std::int32_t>(x);
    }
    return std::move(out);
}

// The targets as float64 when each is an exact float.
py::object float_targets(const py::list& targets) {
    const Py_ssize_t n = PyList_GET_SIZE(targets.ptr());
    py::array_t<double> out(n);
    double* o = out.mutable_data();
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* v = PyList_GET_ITEM(targets.ptr(), i);
        if (!PyFloat_CheckExact(v)) return py::none();
        o[i] = PyFloat_AS_DOUBLE(v);
    }
    return std::move(out);
}

// Dict rows as a float64 array and their names, when the records rebuilt from the array are
// the same dicts: every row an exact dict with the first row's exact str keys in the same
// order, every value an exact float that is not NaN (a NaN cell is an absent feature) or an
// exact int that converts to a float, as learn_one converts it. None otherwise.
py::object pack_rows(const py::list& rows) {
    const Py_ssize_t n = PyList_GET_SIZE(rows.ptr());
    if (n == 0 || !PyDict_CheckExact(PyList_GET_ITEM(rows.ptr(), 0))) return py::none();
    PyObject* head = PyList_GET_ITEM(rows.ptr(), 0);
    const Py_ssize_t width = PyDict_GET_SIZE(head);
    std::vector<PyObject*> names;  // borrowed from the first row, which the list holds
    names.reserve(static_cast<std::size_t>(width));
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(head, &pos, &key, &value)) {
        if (!PyUnicode_CheckExact(key)) return py::none();
        names.push_back(key);
    }
    py::array_t<double> out({n, width});
    double* o = out.mutable_data();
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* row = PyList_GET_ITEM(rows.ptr(), i);
        if (!PyDict_CheckExact(row) || PyDict_GET_SIZE(row) != width) return py::none();
        pos = 0;
        for (std::size_t j = 0; PyDict_Next(row, &pos, &key, &value); ++j) {
            if (key != names[j] && (!PyUnicode_CheckExact(key) || PyUnicode_Compare(key, names[j]) != 0)) {
                return py::none();
            }
            double v = 0.0;
            if (PyFloat_CheckExact(value)) {
                v = PyFloat_AS_DOUBLE(value);
                if (std::isnan(v)) return py::none();
            } else if (PyLong_CheckExact(value)) {
                v = PyLong_AsDouble(value);
                if (v == -1.0 && PyErr_Occurred() != nullptr) {
                    PyErr_Clear();
                    return py::none();
                }
            } else {
                return py::none();
            }
            *o++ = v;
        }
    }
    py::list keys;
    for (PyObject* name : names) keys.append(py::reinterpret_borrow<py::object>(name));
    return py::make_tuple(std::move(out), std::move(keys));
}

using Positions = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>;
using Cells = py::array_t<double, py::array::c_style | py::array::forcecast>;

// The rows of a grouped call, checked before any is used: row order[k] of X goes to models[g]
// for starts[g] <= k < starts[g + 1]. Every model is a classifier, or every one a regressor.
class GroupedRows {
public:
    GroupedRows(const char* fn, const py::list& models, const Cells& X, const std::vector<std::string>& names,
                const Positions& order, const Positions& starts)
        : fn_(fn), X_(X), order_(order), starts_(starts), builder_(names) {
        const auto fail = [fn](const std::string& what) { throw py::value_error(std::string(fn) + ": " + what); };
        if (X.ndim() != 2) fail("X must be 2-D");
        const auto n = static_cast<std::int64_t>(X.shape(0));
        width_ = static_cast<std::size_t>(X.shape(1));
        if (names.size() != width_) fail("one name per column of X is needed");
        if (std::unordered_set<std::string>(names.begin(), names.end()).size() != width_) fail("names must differ");
        if (order.ndim() != 1) fail("order must be 1-D");
        rows_ = static_cast<std::size_t>(order.shape(0));
        const std::int64_t* at = order.data();
        for (std::size_t k = 0; k < rows_; ++k) {
            if (at[k] < 0 || at[k] >= n) fail("order holds a position outside X");
        }
        const auto groups = static_cast<std::size_t>(PyList_GET_SIZE(models.ptr()));
        if (starts.ndim() != 1 || static_cast<std::size_t>(starts.shape(0)) != groups + 1) {
            fail("starts must hold one more entry than models");
        }
        const std::int64_t* s = starts.data();
        if (s[0] != 0 || s[groups] != static_cast<std::int64_t>(rows_)) fail("starts must run from 0 to len(order)");
        for (std::size_t g = 0; g < groups; ++g) {
            if (s[g + 1] < s[g]) fail("starts must not decrease");
        }
        models_.reserve(groups);
        for (std::size_t g = 0; g < groups; ++g) {
            models_.push_back(batch::read_model(fn, models[g]));
            const batch::Model& m = models_.back();
            if (m.transformer || (g > 0 && !m.classifier != !models_.front().classifier)) {
                throw py::type_error(std::string(fn) + ": models must be all classifiers or all regressors (model " +
                                     std::to_string(g) + " is a " + m.type_name + ")");
            }
        }
    }

    std::size_t rows() const { return rows_; }
    bool classifiers() const { return !models_.empty() && models_.front().classifier != nullptr; }

    // step(model, record, k) for every k in order. Rows are gathered a chunk at a time first: the
    // gather's loads overlap each other, which they would not between one model call and the next.
    template <class Step>
    void each(Step&& step) {
        const double* cells = X_.data();
        const std::int64_t* at = order_.data();
        const std::int64_t* s = starts_.data();
        std::size_t g = 0;
        for (std::size_t first = 0; first < rows_; first += batch::kChunkRows) {
            const std::size_t count = std::min(batch::kChunkRows, rows_ - first);
            chunk_.resize(count * width_);
            for (std::size_t r = 0; r < count; ++r) {
                std::copy_n(cells + static_cast<std::size_t>(at[first + r]) * width_, width_,
                            chunk_.data() + r * width_);
            }
            for (std::size_t r = 0; r < count; ++r) {
                const std::size_t k = first + r;
                while (static_cast<std::int64_t>(k) >= s[g + 1]) ++g;
                step(models_[g], builder_.next(chunk_.data() + r * width_), k);
            }
            if (first + count < rows_) batch::check_signals(fn_, first + count);
        }
    }

private:
    const char* fn_;
    const Cells& X_;
    const Positions& order_;
    const Positions& starts_;
    std::size_t width_ = 0;
    std::size_t rows_ = 0;
    std::vector<batch::Model> models_;
    batch::RecordBuilder builder_;
    std::vector<double> chunk_;
};

// Row order[k] of X, with label y[k], learnt by models[g] for starts[g] <= k < starts[g + 1], in
// order of k: what learn_many of each group's rows into its model would do, with the inputs read
// and checked once. A NaN cell is an absent feature.
void learn_groups(const py::list& models, const Cells& X, const std::vector<std::string>& names, py::handle y,
                  const Positions& order, const Positions& starts) {
    constexpr const char* fn = "learn_groups";
    GroupedRows rows(fn, models, X, names, order, starts);
    if (rows.classifiers()) {
        const auto ys = batch::read_labels(fn, y, rows.rows());
        rows.each([&](batch::Model& m, const FeatureMap& x, std::size_t k) { m.classifier->learn_one(x, ys[k]); });
    } else if (rows.rows() > 0) {
        const auto ys = batch::read_values(fn, y, rows.rows());
        rows.each([&](batch::Model& m, const FeatureMap& x, std::size_t k) { m.regressor->learn_one(x, ys[k]); });
    }
}

// predict_one (or predict_proba_one) of row order[k] of X by models[g] for starts[g] <= k <
// starts[g + 1]: int64 labels or float64 values by k, or a list of dicts by k.
py::object predict_groups(const py::list& models, const Cells& X, const std::vector<std::string>& names,
                          const Positions& order, const Positions& starts, bool proba) {
    constexpr const char* fn = "predict_groups";
    GroupedRows rows(fn, models, X, names, order, starts);
    const auto n = static_cast<py::ssize_t>(rows.rows());
    if (proba) {
        if (n > 0 && !rows.classifiers()) throw py::type_error(std::string(fn) + ": probabilities need classifiers");
        py::list out(n);
        rows.each([&](batch::Model& m, const FeatureMap& x, std::size_t k) {
            const ProbabilityMap p = m.classifier->predict_proba_one(x);
            py::dict d;
            for (const auto& [label, value] : p) d[py::int_(label)] = py::float_(value);
            PyList_SET_ITEM(out.ptr(), static_cast<Py_ssize_t>(k), d.release().ptr());
        });
        return std::move(out);
    }
    if (rows.classifiers()) {
        py::array_t<std::int64_t> out(n);
        std::int64_t* o = out.mutable_data();
        rows.each([&](batch::Model& m, const FeatureMap& x, std::size_t k) { o[k] = m.classifier->predict_one(x); });
        return std::move(out);
    }
    py::array_t<double> out(n);
    double* o = out.mutable_data();
    rows.each([&](batch::Model& m, const FeatureMap& x, std::size_t k) { o[k] = m.regressor->predict_one(x); });
    return std::move(out);
}

}  // namespace

void bind_keyed(py::module_& m) {
    m.def("pack_rows", &pack_rows, py::arg("rows"),
          "(float64 array, names) of a list of dict rows that all have the first row's str keys in "
          "its order and plain float (not NaN) or int values; None otherwise.");
    m.def("predict_groups", &predict_groups, py::arg("models"), py::arg("X"), py::arg("names"), py::arg("order"),
          py::arg("starts"), py::arg("proba") = false,
          "predict_one (predict_proba_one with proba) of row order[k] of X by models[g] for starts[g] <= k < "
          "starts[g + 1]: int64 labels or float64 values by k, or a list of dicts by k.");
    m.def("learn_groups", &learn_groups, py::arg("models"), py::arg("X"), py::arg("names"), py::arg("y"),
          py::arg("order"), py::arg("starts"),
          "Row order[k] of the 2-D float64 array X (NaN: an absent feature), with label y[k], learnt by "
          "models[g] for starts[g] <= k < starts[g + 1], in order of k, as learn_many of each group's rows "
          "would.");
    m.def("key_numbers", &key_numbers, py::arg("keys"), py::arg("numbers"), py::arg("added"),
          py::arg("limit"),
          "numbers[key] for every key of a list as an intp array, numbering new keys (appended "
          "to added) from len(numbers); None, with nothing numbered, when a key is not an exact "
          "str or int or a number would reach limit.");
    m.def("int_labels", &int_labels, py::arg("labels"),
          "A list of exact ints that fit 32 bits as an int32 array; None otherwise.");
    py::class_<IntKeyNumbers>(m, "IntKeyNumbers", "Numbers of int keys, looked up from int64 arrays.")
        .def(py::init<>())
        .def("add", &IntKeyNumbers::add, py::arg("keys"), py::arg("numbers"))
        .def("number", &IntKeyNumbers::number, py::arg("keys"), py::arg("next"), py::arg("limit"),
             "(numbers, keys numbered) numbering keys without a number from next on; None, with "
             "nothing numbered, when a number would reach limit.")
        .def("clear", &IntKeyNumbers::clear)
        .def("__len__", &IntKeyNumbers::size);
    m.def("float_targets", &float_targets, py::arg("targets"),
          "A list of exact floats as a float64 array; None otherwise.");
}

}  // namespace kavro::native
