// kavro.score_many's native entry: score_one of every row of an array.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <string>

#include "batch/inputs.hpp"
#include "batch/loops.hpp"
#include "bindings/checked_types.hpp"
#include "core/interfaces.hpp"
#include "anomaly/bind_score_many.hpp"

namespace kavro::native {

namespace py = pybind11;

namespace {

std::shared_ptr<IAnomalyDetector> read_detector(const char* fn, py::handle obj) {
    if (!py::isinstance<IAnomalyDetector>(obj)) {
        throw py::type_error(std::string(fn) + ": expected an anomaly detector (got " +
                             py::str(py::type::handle_of(obj).attr("__name__")).cast<std::string>() + ").");
    }
    bindings::require_constructed(obj);
    return obj.cast<std::shared_ptr<IAnomalyDetector>>();
}

py::array score_many(py::handle obj, py::handle columns, std::size_t rows, py::handle names) {
    constexpr const char* fn = "score_many";
    const auto detector = read_detector(fn, obj);
    const batch::Table t = batch::read_table(fn, columns, rows, names);
    py::array_t<double> out(static_cast<py::ssize_t>(rows));
    double* o = out.mutable_data();
    const IAnomalyDetector& d = *detector;
    batch::for_each_record(t, fn, [&](const FeatureMap& x, std::size_t r) { o[r] = d.score_one(x); });
    return std::move(out);
}

// Test-then-train: each row scored, then learnt.
py::array score_learn_many(py::handle obj, py::handle columns, std::size_t rows, py::handle names) {
    constexpr const char* fn = "score_learn_many";
    const auto detector = read_detector(fn, obj);
    const batch::Table t = batch::read_table(fn, columns, rows, names);
    py::array_t<double> out(static_cast<py::ssize_t>(rows));
    double* o = out.mutable_data();
    IAnomalyDetector& d = *detector;
    batch::for_each_record(t, fn, [&](const FeatureMap& x, std::size_t r) {
        o[r] = d.score_one(x);
        d.learn_one(x);
    });
    return std::move(out);
}

}  // namespace

void bind_score_many(py::module_& m) {
    m.def("score_many", &score_many, py::arg("model"), py::arg("columns"), py::arg("rows"),
          py::arg("names"),
          "score_one of every row with the detector as it stands, as float64. columns: list of 1-D "
          "NumPy arrays of `rows` real, integer or bool cells, one per feature; names: their "
          "distinct feature names (str). A NaN cell leaves the feature out of that row's record.");
    m.def("score_learn_many", &score_learn_many, py::arg("model"), py::arg("columns"), py::arg("rows"),
          py::arg("names"),
          "Test-then-train over the rows: each row's score before it is learnt, as float64 (the "
          "per-row loop of score_one then learn_one). Arguments as score_many's.");
}

}  // namespace kavro::native
