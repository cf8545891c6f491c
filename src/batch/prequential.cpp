// Test-then-train over blocks of rows, and the decimal reader behind the columnar CSV path.
#include "batch/prequential.hpp"

#include <charconv>
#include <functional>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include "core/interfaces.hpp"
#include "core/types.hpp"
#include "metrics/classification_metrics.hpp"
#include "metrics/regression_metrics.hpp"
#include "metrics/window_metrics.hpp"

namespace py = pybind11;

namespace kavro::native {

namespace {

// The record of row i: a fresh map reserved for the row's non-NaN cells, filled in column
// order, as the dict of those cells converts.
template <class Rows>
FeatureMap row_record(const Rows& X, py::ssize_t i, const std::vector<std::string>& names) {
    const py::ssize_t width = X.shape(1);
    std::size_t present = 0;
    for (py::ssize_t j = 0; j < width; ++j) present += !std::isnan(X(i, j));
    FeatureMap x;
    x.reserve(present);
    for (py::ssize_t j = 0; j < width; ++j) {
        const double v = X(i, j);
        if (!std::isnan(v)) x.emplace(names[static_cast<std::size_t>(j)], v);
    }
    return x;
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

// Test-then-train of one learner, scored by core metrics, over blocks of rows.
class Prequential {
public:
    Prequential(py::handle model, const py::sequence& metrics) {
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
        IClassifier& model = *classifier_;
        for (py::ssize_t i = 0; i < X.shape(0); ++i) {
            const FeatureMap x = row_record(X, i, names);
            const auto y_true = static_cast<ClassLabel>(t(i));
            const ClassLabel y_pred = model.predict_one(x);
            for (const auto& s : slots_) {
                if (s.takes_labels()) {
                    s.update_labels(y_true, y_pred);
                } else {
                    s.update_values(static_cast<double>(y_true), static_cast<double>(y_pred));
                }
            }
            model.learn_one(x, y_true);
        }
    }

    template <class Rows, class Targets>
    void run_regressor(const Rows& X, const Targets& t, const std::vector<std::string>& names) {
        IRegressor& model = *regressor_;
        for (py::ssize_t i = 0; i < X.shape(0); ++i) {
            const FeatureMap x = row_record(X, i, names);
            const double y_true = t(i);
            const double y_pred = model.predict_one(x);
            for (const auto& s : slots_) s.update_values(y_true, y_pred);
            model.learn_one(x, y_true);
        }
    }

    std::shared_ptr<IClassifier> classifier_;
    std::shared_ptr<IRegressor> regressor_;
    std::vector<MetricSlot> slots_;
};

bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }
bool is_ascii_space(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Plain decimal syntax: [+-] (digits [. digits] | . digits) [(e|E) [+-] digits].
bool plain_decimal(const char* p, const char* end) {
    if (p < end && (*p == '+' || *p == '-')) ++p;
    const char* int_start = p;
    while (p < end && is_digit(*p)) ++p;
    bool digits = p > int_start;
    if (p < end && *p == '.') {
        const char* frac_start = ++p;
        while (p < end && is_digit(*p)) ++p;
        digits = digits || p > frac_start;
    }
    if (!digits) return false;
    if (p < end && (*p == 'e' || *p == 'E')) {
        ++p;
        if (p < end && (*p == '+' || *p == '-')) ++p;
        const char* exp_start = p;
        while (p < end && is_digit(*p)) ++p;
        if (p == exp_start) return false;
    }
    return p == end;
}

// Converts the strings [offsets[k], offsets[k+1]) of data into out (correctly rounded).
// Cells empty after trimming ASCII whitespace become NaN (or are listed when
// empty_is_listed); cells outside the plain decimal syntax, past the size limit, or out of
// the double range are listed for the caller and left NaN.
template <class Offset>
std::vector<py::ssize_t> parse_cells(const py::array_t<Offset>& offsets, const py::array_t<std::uint8_t>& data,
                                     py::array_t<double>& out, bool empty_is_listed,
                                     py::ssize_t size_limit) {
    const auto off = offsets.template unchecked<1>();
    const py::ssize_t n = off.shape(0) - 1;
    if (n < 0 || out.ndim() != 1 || out.shape(0) != n) {
        throw py::value_error("parse: offsets must hold one more entry than out");
    }
    auto dst = out.mutable_unchecked<1>();
    const char* base = reinterpret_cast<const char*>(data.data());
    const auto data_size = static_cast<std::int64_t>(data.size());
    std::vector<py::ssize_t> listed;
    for (py::ssize_t k = 0; k < n; ++k) {
        const auto a = static_cast<std::int64_t>(off(k));
        const auto b = static_cast<std::int64_t>(off(k + 1));
        if (a < 0 || b < a || b > data_size) throw py::value_error("parse: offsets out of range");
        const char* p = base + a;
        const char* e = base + b;
        dst(k) = std::numeric_limits<double>::quiet_NaN();
        if (b - a > size_limit) {
            listed.push_back(k);
            continue;
        }
        while (p < e && is_ascii_space(static_cast<unsigned char>(*p))) ++p;
        while (e > p && is_ascii_space(static_cast<unsigned char>(e[-1]))) --e;
        if (p == e) {
            if (empty_is_listed) listed.push_back(k);
            continue;
        }
        if (!plain_decimal(p, e)) {
            listed.push_back(k);
            continue;
        }
        const char* q = (*p == '+') ? p + 1 : p;
        double v = 0.0;
        const auto r = std::from_chars(q, e, v);
        if (r.ec != std::errc() || r.ptr != e) {
            listed.push_back(k);  // out of range: inf or zero as Python rounds it
            continue;
        }
        dst(k) = v;
    }
    return listed;
}

}  // namespace

void bind_prequential(py::module_& m) {
    py::class_<Prequential>(m, "Prequential",
                            "Test-then-train of a core learner scored by core metrics, over "
                            "blocks of rows.")
        .def(py::init<py::handle, const py::sequence&>(), py::arg("model"), py::arg("metrics"),
             "TypeError when the model or a metric has no native path.")
        .def("run", &Prequential::run, py::arg("X"), py::arg("y"), py::arg("names"),
             "Predict, score and learn every row of X (float64, NaN = absent) with targets y; "
             "False, with nothing done, when y is not of a kind the learner takes as is.");
    m.def(
        "parse_decimal_cells",
        [](const py::array& offsets, const py::array_t<std::uint8_t>& data, py::array_t<double>& out,
           bool empty_is_listed, py::ssize_t size_limit) {
            if (offsets.ndim() != 1 || data.ndim() != 1) throw py::value_error("parse: 1-D buffers expected");
            if (py::isinstance<py::array_t<std::int32_t>>(offsets)) {
                return parse_cells(py::array_t<std::int32_t>::ensure(offsets), data, out,
                                   empty_is_listed, size_limit);
            }
            if (py::isinstance<py::array_t<std::int64_t>>(offsets)) {
                return parse_cells(py::array_t<std::int64_t>::ensure(offsets), data, out,
                                   empty_is_listed, size_limit);
            }
            throw py::type_error("parse: offsets must be int32 or int64");
        },
        py::arg("offsets"), py::arg("data"), py::arg("out"), py::arg("empty_is_listed"),
        py::arg("size_limit"),
        "Decimal strings (Arrow layout) to float64, correctly rounded; returns the indices "
        "of the cells left to the caller.");
}

}  // namespace kavro::native
