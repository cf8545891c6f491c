// Test-only module: the boundary-cost floor and access to internal helpers.
#include <cstdint>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "bindings/named_record.hpp"
#include "core/random.hpp"
#include "core/types.hpp"
#include "tree/hoeffding_tree_classifier.hpp"

namespace py = pybind11;
using namespace kavro;

namespace {

struct Floor {
    // Takes a record exactly as the learners do and does nothing with it.
    void noop(const FeatureMap&) {}
    void noop_label(const FeatureMap&, ClassLabel) {}
    void noop_value(double) {}
    void noop_pair(double, double) {}

    // Further shapes of the learner, metric and detector calls, for like-for-like floors.
    void noop_target(const FeatureMap&, double) {}
    void noop_labels(ClassLabel, ClassLabel) {}
    void noop_int(int) {}
    void noop_none() {}
    double noop_get() { return 0.0; }
    ClassLabel noop_predict(const FeatureMap&) { return 0; }
    double noop_predict_value(const FeatureMap&) { return 0.0; }
    // Returns the stored map, like a predict_proba_one over set_proba(n) labels.
    ProbabilityMap noop_proba(const FeatureMap&) { return proba; }
    // Returns a copy of the record, like a transform that keeps every entry.
    FeatureMap noop_transform(const FeatureMap& x) { return x; }
    // The record conversion of transform_one, and its result conversion on the whole record.
    void noop_keyed(const kavro::bindings::NamedRecord&) {}
    kavro::bindings::NamedResult noop_keyed_transform(kavro::bindings::NamedRecord& x) {
        return kavro::bindings::named_result(x);
    }

    void set_proba(int n_labels) {
        proba.clear();
        for (int c = 0; c < n_labels; ++c) proba[c] = 1.0 / n_labels;
    }

    ProbabilityMap proba;
};

}  // namespace

void bind_state_testing(py::module_& m);
void bind_loop_testing(py::module_& m);

PYBIND11_MODULE(_kavro_testing, m) {
    m.doc() = "Test-only helpers for the KAVRO core.";
    bind_state_testing(m);
    bind_loop_testing(m);

    py::class_<Floor, std::shared_ptr<Floor>>(m, "Floor")
        .def(py::init<>())
        .def("noop", &Floor::noop)
        .def("noop_label", &Floor::noop_label)
        .def("noop_value", &Floor::noop_value)
        .def("noop_pair", &Floor::noop_pair)
        .def("noop_target", &Floor::noop_target)
        .def("noop_labels", &Floor::noop_labels)
        .def("noop_int", &Floor::noop_int)
        .def("noop_none", &Floor::noop_none)
        .def("noop_get", &Floor::noop_get)
        .def("noop_predict", &Floor::noop_predict)
        .def("noop_predict_value", &Floor::noop_predict_value)
        .def("noop_proba", &Floor::noop_proba)
        .def("noop_transform", &Floor::noop_transform)
        .def("noop_keyed", &Floor::noop_keyed)
        .def("noop_keyed_transform", &Floor::noop_keyed_transform)
        .def("set_proba", &Floor::set_proba, "Make noop_proba return n_labels equal entries.");

    // A Hoeffding tree with a feature subspace, as the ensembles build their members.
    py::class_<HoeffdingTreeClassifier, std::shared_ptr<HoeffdingTreeClassifier>>(
        m, "SubspaceTree", py::module_local())
        .def(py::init([](std::int32_t grace_period, std::int32_t nb_threshold,
                         std::int32_t max_depth, std::string split_criterion,
                         double split_confidence, double tie_threshold,
                         std::int32_t max_split_features, std::uint32_t seed) {
            auto t = std::make_shared<HoeffdingTreeClassifier>(
                grace_period, nb_threshold, max_depth, std::move(split_criterion),
                split_confidence, tie_threshold);
            t->set_max_split_features(max_split_features);
            t->reseed(seed);
            return t;
        }))
        .def("learn_one", &HoeffdingTreeClassifier::learn_one)
        .def("predict_one", &HoeffdingTreeClassifier::predict_one)
        .def("predict_proba_one", &HoeffdingTreeClassifier::predict_proba_one)
        .def("reset", &HoeffdingTreeClassifier::reset)
        .def_property("leaf_prediction", &HoeffdingTreeClassifier::leaf_prediction,
                      &HoeffdingTreeClassifier::set_leaf_prediction);

    m.def("record_keys", [](const FeatureMap& x) {
        std::vector<std::string> keys;
        for (const auto& kv : x) keys.push_back(kv.first);
        return keys;
    }, "Keys of the converted record in its iteration order.");

    m.def("int_map_order", [](const std::vector<ClassLabel>& keys) {
        std::unordered_map<ClassLabel, double> map;
        for (ClassLabel k : keys) map[k];
        std::vector<ClassLabel> out;
        for (const auto& kv : map) out.push_back(kv.first);
        return out;
    }, "Iteration order of an int-keyed hash map filled by inserting keys in this order.");
    m.def("str_map_order", [](const std::vector<std::string>& keys) {
        std::unordered_map<std::string, double> map;
        for (const auto& k : keys) map[k];
        std::vector<std::string> out;
        for (const auto& kv : map) out.push_back(kv.first);
        return out;
    }, "Iteration order of a string-keyed hash map filled by inserting keys in this order.");

    m.def("mt_outputs", [](std::uint32_t seed, int n) {
        Rng rng(seed);
        std::vector<std::uint32_t> out;
        for (int i = 0; i < n; ++i) out.push_back(rng());
        return out;
    });
    m.def("uniform_draws", [](std::uint32_t seed, std::uint32_t r, int n) {
        Rng rng(seed);
        std::vector<std::uint32_t> out;
        for (int i = 0; i < n; ++i) out.push_back(uniform_draw(rng, r));
        return out;
    });
    m.def("shuffle", [](std::uint32_t seed, std::vector<int> v) {
        Rng rng(seed);
        shuffle_in_place(v, rng);
        return v;
    });
    m.def("canonicals", [](std::uint32_t seed, int n) {
        Rng rng(seed);
        std::vector<double> out;
        for (int i = 0; i < n; ++i) out.push_back(canonical(rng));
        return out;
    });
    m.def("uniform_pm1s", [](std::uint32_t seed, int n) {
        Rng rng(seed);
        std::vector<double> out;
        for (int i = 0; i < n; ++i) out.push_back(uniform_pm1(rng));
        return out;
    });
    m.def("poissons", [](std::uint32_t seed, double lambda, int n) {
        Rng rng(seed);
        std::vector<int> out;
        for (int i = 0; i < n; ++i) {
            std::poisson_distribution<int> dist(lambda);
            out.push_back(dist(rng));
        }
        return out;
    });
}
