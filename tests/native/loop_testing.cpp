// Test-only objects for the native evaluation loop: an anomaly detector and measures of
// probabilities and scores, bound over the interfaces kavro._native registers.
#include <cmath>
#include <memory>

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "core/interfaces.hpp"
#include "core/types.hpp"

namespace py = pybind11;
using namespace kavro;

namespace {

// Scores a record by the distance of its "a" value from the running mean of those learnt.
class MeanDistance final : public IAnomalyDetector {
public:
    void learn_one(const FeatureMap& x) override {
        const auto it = x.find("a");
        if (it == x.end()) return;
        n_ += 1.0;
        mean_ += (it->second - mean_) / n_;
    }
    double score_one(const FeatureMap& x) const override {
        const auto it = x.find("a");
        return it == x.end() ? 0.0 : std::fabs(it->second - mean_);
    }
    void reset() override { n_ = mean_ = 0.0; }

private:
    double n_ = 0.0;
    double mean_ = 0.0;
};

// Sums the probability given to the true label, or the score of the examples labelled 1,
// weighted by their position so that the order of updates shows.
class Summing final : public IClassificationMetric {
public:
    explicit Summing(bool proba) : proba_(proba) {}
    Input input() const override { return proba_ ? Input::proba : Input::score; }
    void update_proba(ClassLabel y, const ProbabilityMap& p) override {
        const auto it = p.find(y);
        add(it == p.end() ? 0.0 : it->second);
    }
    void update_score(ClassLabel y, double score) override { add(y == 1 ? score : -score); }
    double get() const override { return total_; }
    void reset() override { total_ = 0.0, n_ = 0; }

private:
    void add(double v) { total_ += v * static_cast<double>(++n_ % 7 + 1); }

    bool proba_;
    double total_ = 0.0;
    long n_ = 0;
};

}  // namespace

void bind_loop_testing(py::module_& m) {
    // Bound on first call, once kavro._native has registered the interfaces.
    m.def("loop_objects", [m]() mutable {
        if (py::hasattr(m, "MeanDistance")) return;
        py::module_::import("kavro._native");
        py::class_<MeanDistance, IAnomalyDetector, std::shared_ptr<MeanDistance>>(m, "MeanDistance")
            .def(py::init<>())
            .def("learn_one", &MeanDistance::learn_one)
            .def("score_one", &MeanDistance::score_one);
        py::class_<Summing, IClassificationMetric, std::shared_ptr<Summing>>(m, "Summing")
            .def(py::init<bool>(), py::arg("proba") = false)
            .def("update", &Summing::update, "Takes labels: ignored.")
            .def("update_proba", &Summing::update_proba)
            .def("update_score", &Summing::update_score)
            .def("get", &Summing::get);
    });
}
