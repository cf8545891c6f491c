// Test-then-train over blocks of rows, and the decimal reader behind the columnar CSV path.
#include "batch/prequential.hpp"

#include <cmath>
#include <cstdint>
#include <exception>
#include <functional>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include "batch/decimal.hpp"
#include "batch/inputs.hpp"
#include "batch/loops.hpp"
#include "batch/record.hpp"
#include "core/interfaces.hpp"
#include "core/types.hpp"
#include "metrics/classification_metrics.hpp"
#include "metrics/regression_metrics.hpp"
#include "metrics/window_metrics.hpp"

namespace py = pybind11;

namespace kavro::native {

namespace {

// The record of row i of X, from the batch record builder (valid until its next call).
template <class Rows>
const FeatureMap& row_record(const Rows& X, py::ssize_t i, batch::RecordBuilder& records,
                             std::vector<double>& row) {
    for (py::ssize_t j = 0; j < X.shape(1); ++j) row[static_cast<std::size_t>(j)] = X(i, j);
    return records.next(row.data());
}

// One metric, updated with the pair the Python loop would pass it.
class MetricSlot {
public:
    enum class Kind { kLabel, kWindowLabel, kValue };

    template <class M>
    static MetricSlot label(std::shared_ptr<M> m) {
        MetricSlot s;
        s.kind_ = Kind::kLabel;
        s.label_ = [p = m.get()](ClassLabel t, ClassLabel y) { p->update(t, y); };
        s.keep_ = std::move(m);
        return s;
    }
    template <class M>
    static MetricSlot value(std::shared_ptr<M> m) {
        MetricSlot s;
        s.kind_ = Kind::kValue;
        s.value_ = [p = m.get()](double t, double y) { p->update(t, y); };
        s.keep_ = std::move(m);
        return s;
    }
    static MetricSlot window(std::shared_ptr<WindowMetric> m) {
        MetricSlot s;
        s.kind_ = Kind::kWindowLabel;
        s.label_ = [p = m.get()](ClassLabel t, ClassLabel y) { p->update(y, t); };
        s.keep_ = std::move(m);
        return s;
    }

    bool takes_labels() const { return kind_ != Kind::kValue; }
    void update_labels(ClassLabel y_true, ClassLabel y_pred) const { label_(y_true, y_pred); }
    void update_values(double y_true, double y_pred) const { value_(y_true, y_pred); }

private:
    Kind kind_ = Kind::kValue;
    std::function<void(ClassLabel, ClassLabel)> label_;
    std::function<void(double, double)> value_;
    std::shared_ptr<void> keep_;
};

template <class M>
bool try_label(py::handle h, std::vector<MetricSlot>& out) {
    if (!py::isinstance<M>(h)) return false;
    out.push_back(MetricSlot::label(h.cast<std::shared_ptr<M>>()));
    return true;
}

template <class M>
bool try_value(py::handle h, std::vector<MetricSlot>& out) {
    if (!py::isinstance<M>(h)) return false;
    out.push_back(MetricSlot::value(h.cast<std::shared_ptr<M>>()));
    return true;
}

MetricSlot make_slot(py::handle h) {
    std::vector<MetricSlot> out;
    if (try_label<Accuracy>(h, out) || try_label<MacroPrecision>(h, out) ||
        try_label<MacroRecall>(h, out) || try_label<MacroF1>(h, out) ||
        try_value<MAE>(h, out) || try_value<RMSE>(h, out) || try_value<R2>(h, out) ||
        try_value<WindowRegressionMetric>(h, out)) {
        return std::move(out.front());
    }
    if (py::isinstance<WindowMetric>(h)) {
        return MetricSlot::window(h.cast<std::shared_ptr<WindowMetric>>());
    }
    throw py::type_error("no native update for a metric of type " +
                         std::string(py::str(py::type::handle_of(h).attr("__name__"))));
}

// Test-then-train of one learner, scored by core metrics, over blocks of rows. The
// members of an ensemble that splits into member steps vote and learn on `threads`
// threads.
class Prequential {
public:
    Prequential(py::handle model, const py::sequence& metrics, int n_jobs)
        : threads_(batch::read_n_jobs("Prequential", n_jobs)) {
        batch::member_thread_seconds().assign(threads_, 0.0);
        if (py::isinstance<IClassifier>(model)) {
            classifier_ = model.cast<std::shared_ptr<IClassifier>>();
        } else if (py::isinstance<IRegressor>(model)) {
            regressor_ = model.cast<std::shared_ptr<IRegressor>>();
        } else {
            throw py::type_error("no native loop for a model of type " +
                                 std::string(py::str(py::type::handle_of(model).attr("__name__"))));
        }
        for (auto h : metrics) {
            slots_.push_back(make_slot(h));
            if (regressor_ && slots_.back().takes_labels()) {
                throw py::type_error("a label metric cannot score a regressor's predictions");
            }
        }
    }

    // Runs every row of the block; false (nothing done) when the targets are not of a kind
    // the learner takes without conversion errors, so the caller runs the block itself.
    bool run(const py::array_t<double>& X, const py::array& y, const std::vector<std::string>& names) {
        if (X.ndim() != 2 || y.ndim() != 1 || y.shape(0) != X.shape(0)) {
            throw py::value_error("block: X must be 2-D and y 1-D of the same length");
        }
        if (static_cast<py::ssize_t>(names.size()) != X.shape(1)) {
            throw py::value_error("block: one name per column expected");
        }
        const auto rows = X.unchecked<2>();
        const char kind = y.dtype().kind();
        if (classifier_) {
            if (kind != 'i' && kind != 'u' && kind != 'b') return false;
            py::array_t<std::int64_t> labels = py::array_t<std::int64_t>::ensure(y);
            if (!labels) throw py::error_already_set();
            const auto t = labels.unchecked<1>();
            for (py::ssize_t i = 0; i < t.shape(0); ++i) {
                if (t(i) < std::numeric_limits<ClassLabel>::min() ||
                    t(i) > std::numeric_limits<ClassLabel>::max()) {
                    return false;
                }
            }
            if (kind == 'u') {  // values past int64 wrap in the cast above
                auto u = py::array_t<std::uint64_t>::ensure(y).unchecked<1>();
                for (py::ssize_t i = 0; i < u.shape(0); ++i) {
                    if (u(i) > static_cast<std::uint64_t>(std::numeric_limits<ClassLabel>::max())) {
                        return false;
                    }
                }
            }
            run_classifier(rows, t, names);
            return true;
        }
        if (kind != 'i' && kind != 'u' && kind != 'b' && kind != 'f') return false;
        py::array_t<double> targets = py::array_t<double>::ensure(y);
        if (!targets) throw py::error_already_set();
        run_regressor(rows, targets.unchecked<1>(), names);
        return true;
    }

private:
    template <class Rows, class Targets>
    void run_classifier(const Rows& X, const Targets& t, const std::vector<std::string>& names) {
        run_rows<ClassLabel>(*classifier_, X, t, names, [this](ClassLabel y_true, ClassLabel y_pred) {
            for (const auto& s : slots_) {
                if (s.takes_labels()) {
                    s.update_labels(y_true, y_pred);
                } else {
                    s.update_values(static_cast<double>(y_true), static_cast<double>(y_pred));
                }
            }
        });
    }

    template <class Rows, class Targets>
    void run_regressor(const Rows& X, const Targets& t, const std::vector<std::string>& names) {
        run_rows<double>(*regressor_, X, t, names, [this](double y_true, double y_pred) {
            for (const auto& s : slots_) s.update_values(y_true, y_pred);
        });
    }

    // predict_one, score(y_true, y_pred), learn_one for every row in turn; an ensemble
    // with member steps takes chunks of rows with its members on threads instead.
    template <class Target, class Model, class Rows, class Targets, class Score>
    void run_rows(Model& model, const Rows& X, const Targets& t, const std::vector<std::string>& names,
                  Score&& score) {
        auto* members = threads_ > 1 ? batch::member_steps_of<Target>(&model) : nullptr;
        std::vector<double> row(names.size());
        batch::RecordBuilder records(names);
        std::vector<FeatureMap> xs;
        std::vector<Target> ys, predictions;
        const py::ssize_t n = X.shape(0);
        for (py::ssize_t i = 0; i < n;) {
            if (members != nullptr && !members->draws_change_votes()) {
                const py::ssize_t end = std::min<py::ssize_t>(n, i + static_cast<py::ssize_t>(batch::kChunkRows));
                xs.clear();
                ys.clear();
                for (py::ssize_t k = i; k < end; ++k) {
                    for (py::ssize_t j = 0; j < X.shape(1); ++j) row[static_cast<std::size_t>(j)] = X(k, j);
                    xs.push_back(records.build(row.data()));
                    ys.push_back(static_cast<Target>(t(k)));
                }
                predictions.resize(xs.size());
                batch::predict_learn_by_members(*members, xs, ys.data(), threads_, predictions.data());
                for (std::size_t k = 0; k < xs.size(); ++k) score(ys[k], predictions[k]);
                i = end;
                continue;
            }
            const FeatureMap& x = row_record(X, i, records, row);
            const auto y_true = static_cast<Target>(t(i));
            const Target y_pred = model.predict_one(x);
            score(y_true, y_pred);
            model.learn_one(x, y_true);
            ++i;
        }
    }

    unsigned threads_;
    std::shared_ptr<IClassifier> classifier_;
    std::shared_ptr<IRegressor> regressor_;
    std::vector<MetricSlot> slots_;
};

// Converts the strings [offsets[k], offsets[k+1]) of data into out (correctly rounded).
// Cells empty after trimming ASCII whitespace become NaN (or are listed when
// empty_is_listed); cells outside the plain decimal syntax, past the size limit, or out of
// the double range are listed for the caller and left NaN. Touches no Python object.
struct CellColumn {
    const void* offsets = nullptr;
    bool wide = false;  // int64 offsets
    std::int64_t n = 0;
    const char* data = nullptr;
    std::int64_t data_size = 0;
    double* out = nullptr;
    std::int64_t out_stride = 1;  // in doubles
    bool empty_is_listed = false;
};

template <class Offset>
void parse_cells(const CellColumn& c, std::int64_t size_limit, std::vector<py::ssize_t>& listed) {
    const auto* off = static_cast<const Offset*>(c.offsets);
    for (std::int64_t k = 0; k < c.n; ++k) {
        const auto a = static_cast<std::int64_t>(off[k]);
        const auto b = static_cast<std::int64_t>(off[k + 1]);
        if (a < 0 || b < a || b > c.data_size) throw std::out_of_range("parse: offsets out of range");
        const char* p = c.data + a;
        const char* e = c.data + b;
        double& dst = c.out[k * c.out_stride];
        dst = std::numeric_limits<double>::quiet_NaN();
        if (b - a > size_limit) {
            listed.push_back(static_cast<py::ssize_t>(k));
            continue;
        }
        trim_ascii_space(p, e);
        if (p == e) {
            if (c.empty_is_listed) listed.push_back(static_cast<py::ssize_t>(k));
            continue;
        }
        double v = 0.0;
        if (!decimal_value(p, e, v)) {
            // not plain decimal syntax, or out of range (Python rounds it): the caller's
            listed.push_back(static_cast<py::ssize_t>(k));
            continue;
        }
        dst = v;
    }
}

void parse_column(const CellColumn& c, std::int64_t size_limit, std::vector<py::ssize_t>& listed) {
    if (c.wide) {
        parse_cells<std::int64_t>(c, size_limit, listed);
    } else {
        parse_cells<std::int32_t>(c, size_limit, listed);
    }
}

// The arrays behind a column, kept alive while a job reads them.
CellColumn cell_column(const py::array& offsets, const py::array& data, const py::array& out,
                       bool empty_is_listed, std::vector<py::object>& keep) {
    if (offsets.ndim() != 1 || data.ndim() != 1 || out.ndim() != 1) {
        throw py::value_error("parse: 1-D arrays expected");
    }
    CellColumn c;
    if (py::isinstance<py::array_t<std::int32_t>>(offsets)) {
        c.wide = false;
    } else if (py::isinstance<py::array_t<std::int64_t>>(offsets)) {
        c.wide = true;
    } else {
        throw py::type_error("parse: offsets must be int32 or int64");
    }
    if (!(offsets.flags() & py::array::c_style) || !(data.flags() & py::array::c_style) ||
        data.itemsize() != 1) {
        throw py::type_error("parse: offsets and data must be contiguous, data bytes");
    }
    if (!py::isinstance<py::array_t<double>>(out) || !out.writeable() ||
        out.strides(0) % static_cast<py::ssize_t>(sizeof(double)) != 0) {
        throw py::type_error("parse: out must be a writeable float64 array");
    }
    c.n = offsets.shape(0) - 1;
    if (c.n < 0 || out.shape(0) != c.n) throw py::value_error("parse: offsets must hold one more entry than out");
    c.offsets = offsets.data();
    c.data = static_cast<const char*>(data.data());
    c.data_size = data.shape(0);
    c.out = static_cast<double*>(const_cast<void*>(out.data()));
    c.out_stride = out.strides(0) / static_cast<py::ssize_t>(sizeof(double));
    c.empty_is_listed = empty_is_listed;
    keep.push_back(offsets);
    keep.push_back(data);
    keep.push_back(out);
    return c;
}

// Columns converted on a thread of their own while the caller goes on; wait() joins it and
// gives the listed cells of each column.
class DecimalJob {
public:
    DecimalJob(std::vector<CellColumn> columns, std::vector<py::object> keep, std::int64_t size_limit)
        : columns_(std::move(columns)), keep_(std::move(keep)), listed_(columns_.size()) {
        thread_ = std::thread([this, size_limit] {
            try {
                for (std::size_t j = 0; j < columns_.size(); ++j) {
                    parse_column(columns_[j], size_limit, listed_[j]);
                }
            } catch (...) {
                error_ = std::current_exception();
            }
        });
    }
    DecimalJob(const DecimalJob&) = delete;
    DecimalJob& operator=(const DecimalJob&) = delete;
    ~DecimalJob() { join(); }

    std::vector<std::vector<py::ssize_t>> wait() {
        join();
        if (error_) std::rethrow_exception(error_);
        return listed_;
    }

private:
    void join() {
        if (thread_.joinable()) {
            py::gil_scoped_release release;
            thread_.join();
        }
    }

    std::vector<CellColumn> columns_;
    std::vector<py::object> keep_;
    std::vector<std::vector<py::ssize_t>> listed_;
    std::exception_ptr error_;
    std::thread thread_;
};

}  // namespace

void bind_prequential(py::module_& m) {
    py::class_<Prequential>(m, "Prequential",
                            "Test-then-train of a core learner scored by core metrics, over "
                            "blocks of rows.")
        .def(py::init<py::handle, const py::sequence&, int>(), py::arg("model"), py::arg("metrics"),
             py::arg("n_jobs") = 1,
             "TypeError when the model or a metric has no native path. The members of an ARF, SRP "
             "or leveraging-bagging ensemble vote and learn on n_jobs threads (-1: every core); "
             "results are those of one thread.")
        .def("run", &Prequential::run, py::arg("X"), py::arg("y"), py::arg("names"),
             "Predict, score and learn every row of X (float64, NaN = absent) with targets y; "
             "False, with nothing done, when y is not of a kind the learner takes as is.");
    m.def(
        "parse_decimal_cells",
        [](const py::array& offsets, const py::array& data, const py::array& out, bool empty_is_listed,
           std::int64_t size_limit) {
            std::vector<py::object> keep;
            const CellColumn c = cell_column(offsets, data, out, empty_is_listed, keep);
            std::vector<py::ssize_t> listed;
            parse_column(c, size_limit, listed);
            return listed;
        },
        py::arg("offsets"), py::arg("data"), py::arg("out"), py::arg("empty_is_listed"),
        py::arg("size_limit"),
        "Decimal strings (Arrow layout: offsets into data) to float64, correctly rounded; returns "
        "the indices of the cells left to the caller.");
    py::class_<DecimalJob>(m, "DecimalJob", "Columns being converted on a thread of their own.")
        .def("wait", &DecimalJob::wait, "Join the thread; the listed cells of each column.");
    m.def(
        "parse_decimal_columns",
        [](const py::list& columns, std::int64_t size_limit) {
            std::vector<CellColumn> cols;
            std::vector<py::object> keep;
            for (auto item : columns) {
                auto t = item.cast<py::tuple>();
                if (t.size() != 4) throw py::value_error("parse: (offsets, data, out, empty_is_listed) expected");
                cols.push_back(cell_column(t[0].cast<py::array>(), t[1].cast<py::array>(),
                                           t[2].cast<py::array>(), t[3].cast<bool>(), keep));
            }
            return std::make_unique<DecimalJob>(std::move(cols), std::move(keep), size_limit);
        },
        py::arg("columns"), py::arg("size_limit"),
        "parse_decimal_cells over (offsets, data, out, empty_is_listed) columns on a thread of its "
        "own; the job's wait() gives the listed cells of each column.");
}

}  // namespace kavro::native
