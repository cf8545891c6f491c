#include "catalog/bind.hpp"

#include <string>

#include "anomaly/half_space_trees.hpp"
#include "anomaly/isolation_forest.hpp"
#include "anomaly/knn_distance.hpp"
#include "anomaly/loda.hpp"
#include "anomaly/rs_hash.hpp"
#include "state/archive.hpp"

namespace kavro {

namespace {

template <class Ar>
void visit_seed(Ar& ar, bool& has_seed, std::uint32_t& seed, Rng& rng) {
    ar("has_seed", has_seed);
    ar("seed", seed);
    ar("rng", rng);
}

template <class Ar>
void check_space(Ar& ar, const anomaly::FeatureSpace& space) {
    if constexpr (Ar::mode == state::Mode::read) {
        for (std::size_t j = 1; j < space.names.size(); ++j) {
            ar.require(space.names[j - 1] < space.names[j], "feature names are not sorted and distinct");
        }
    }
}

}  // namespace

template <class Ar>
void HalfSpaceTrees::visit(Ar& ar) {
    ar("n_trees", n_trees_);
    ar("height", height_);
    ar("window_size", window_size_);
    ar("limits", limits_);
    visit_seed(ar, has_seed_, seed_, rng_);
    ar("space", space_);
    ar("trees", trees_);
    ar("n", n_);
    if constexpr (Ar::mode == state::Mode::read) {
        ar.require(n_trees_ >= 1 && height_ >= 1 && height_ <= 30 && window_size_ >= 1 && n_ >= 0,
                   "HalfSpaceTrees parameters out of range");
        check_space(ar, space_);
        const std::size_t d = space_.size();
        ar.require(trees_.empty() || (d > 0 && trees_.size() == static_cast<std::size_t>(n_trees_)),
                   "HalfSpaceTrees tree count disagrees");
        for (const auto& t : trees_) {
            ar.require(t.low.size() == d && t.high.size() == d && !t.nodes.empty(),
                       "HalfSpaceTrees workspace size disagrees");
            const auto n = static_cast<std::int32_t>(t.nodes.size());
            for (std::int32_t i = 0; i < n; ++i) {
                const Node& nd = t.nodes[i];
                ar.require(nd.dim >= -1 && nd.dim < static_cast<std::int32_t>(d), "node feature out of range");
                ar.require(nd.child == -1 || (nd.child > i && nd.child < n - 1), "node child out of range");
                ar.require(nd.dim >= 0 || nd.child == -1, "a leaf has children");
            }
        }
    }
}

template <class Ar>
void OnlineIsolationForest::visit(Ar& ar) {
    ar("n_trees", n_trees_);
    ar("max_leaf_samples", max_leaf_samples_);
    ar("adaptive", adaptive_);
    ar("subsample", subsample_);
    ar("window_size", window_size_);
    visit_seed(ar, has_seed_, seed_, rng_);
    ar("max_depth", max_depth_);
    ar("space", space_);
    ar("trees", trees_);
    ar("window", window_);
    if constexpr (Ar::mode == state::Mode::read) {
        ar.require(n_trees_ >= 1 && max_leaf_samples_ >= 1 && window_size_ >= 1 &&
                       subsample_ > 0.0 && subsample_ <= 1.0 && max_depth_ >= 1,
                   "OnlineIsolationForest parameters out of range");
        check_space(ar, space_);
        const std::size_t d = space_.size();
        ar.require(trees_.empty() || trees_.size() == static_cast<std::size_t>(n_trees_),
                   "OnlineIsolationForest tree count disagrees");
        ar.require(window_.size() <= static_cast<std::size_t>(window_size_), "window longer than window_size");
        for (const auto& t : trees_) {
            const auto n = static_cast<std::int32_t>(t.nodes.size());
            ar.require(n >= 1, "a tree has no root");
            for (const auto& nd : t.nodes) {
                ar.require((nd.left == -1) == (nd.right == -1) && nd.left < n && nd.right < n &&
                               nd.left != 0 && nd.right != 0,
                           "node child out of range");
                ar.require(nd.left == -1 || (nd.dim >= 0 && nd.dim < static_cast<std::int32_t>(d)),
                           "node feature out of range");
                ar.require((nd.low.empty() || nd.low.size() == d) && nd.high.size() == nd.low.size(),
                           "node box size disagrees");
            }
            for (auto s : t.spare) ar.require(s > 0 && s < n, "spare slot out of range");
        }
        for (const auto& p : window_) {
            ar.require(p.values.size() == d && (p.trees.empty() || p.trees.size() == trees_.size()),
                       "window record size disagrees");
        }
    }
}

template <class Ar>
void LODA::visit(Ar& ar) {
    ar("n_projections", n_projections_);
    ar("window_size", window_size_);
    ar("n_bins", n_bins_);
    visit_seed(ar, has_seed_, seed_, rng_);
    ar("space", space_);
    ar("projections", projections_);
    ar("block", block_);
    ar("block_n", block_n_);
    if constexpr (Ar::mode == state::Mode::read) {
        ar.require(n_projections_ >= 1 && window_size_ >= 1 && n_bins_ >= 0, "LODA parameters out of range");
        check_space(ar, space_);
        const std::size_t d = space_.size();
        ar.require(projections_.empty() || projections_.size() == static_cast<std::size_t>(n_projections_),
                   "LODA projection count disagrees");
        ar.require(block_n_ >= 0 && block_n_ < window_size_ &&
                       block_.size() == static_cast<std::size_t>(block_n_) * projections_.size(),
                   "LODA block size disagrees");
        for (const auto& p : projections_) {
            ar.require(p.dims.size() == p.weights.size() && p.width > 0.0, "LODA projection disagrees");
            for (auto j : p.dims) ar.require(j >= 0 && static_cast<std::size_t>(j) < d, "projection feature out of range");
        }
    }
}

template <class Ar>
void RSHash::visit(Ar& ar) {
    ar("n_components", n_components_);
    ar("sample_size", sample_size_);
    ar("n_hashes", n_hashes_);
    visit_seed(ar, has_seed_, seed_, rng_);
    ar("space", space_);
    ar("min", min_);
    ar("max", max_);
    ar("components", components_);
    ar("window", window_);
    if constexpr (Ar::mode == state::Mode::read) {
        ar.require(n_components_ >= 1 && sample_size_ >= 4 && n_hashes_ >= 1, "RSHash parameters out of range");
        check_space(ar, space_);
        table_size_ = 1;
        while (table_size_ < static_cast<std::size_t>(sample_size_)) table_size_ <<= 1;
        const std::size_t d = space_.size();
        ar.require(min_.size() == max_.size() && (components_.empty() || min_.size() == d),
                   "RSHash range size disagrees");
        ar.require(components_.empty() || components_.size() == static_cast<std::size_t>(n_components_),
                   "RSHash component count disagrees");
        ar.require(window_.size() <= static_cast<std::size_t>(sample_size_), "window longer than sample_size");
        for (const auto& c : components_) {
            ar.require(c.dims.size() == c.alpha.size() && c.f > 0.0 &&
                           c.salts.size() == static_cast<std::size_t>(n_hashes_) &&
                           c.table.size() == static_cast<std::size_t>(n_hashes_) * table_size_,
                       "RSHash component sizes disagree");
            for (auto j : c.dims) ar.require(j >= 0 && static_cast<std::size_t>(j) < d, "component feature out of range");
        }
        for (const auto& keys : window_) ar.require(keys.size() == components_.size(), "window record size disagrees");
    }
}

template <class Ar>
void KNNDistance::visit(Ar& ar) {
    ar("k", k_);
    ar("window_size", window_size_);
    ar("space", space_);
    ar("points", points_);
    ar("count", count_);
    ar("next", next_);
    if constexpr (Ar::mode == state::Mode::read) {
        ar.require(k_ >= 1 && window_size_ >= 1, "KNNDistance parameters out of range");
        check_space(ar, space_);
        ar.require(count_ >= 0 && count_ <= window_size_ && next_ >= 0 && next_ < window_size_ &&
                       points_.size() == static_cast<std::size_t>(count_) * space_.size() &&
                       (count_ == window_size_ || next_ == count_),
                   "KNNDistance window disagrees");
    }
}

}  // namespace kavro

KAVRO_STATE(HalfSpaceTrees)
KAVRO_STATE(OnlineIsolationForest)
KAVRO_STATE(LODA)
KAVRO_STATE(RSHash)
KAVRO_STATE(KNNDistance)

namespace kavro::catalog {

namespace {

template <class T>
void def_detector_methods(PyClass<T, IAnomalyDetector>& cls) {
    cls.def("learn_one", [](T& self, const FeatureMap& x) { self.learn_one(x); },
            "Learn one record (no label).")
        .def("score_one", [](const T& self, const FeatureMap& x) { return self.score_one(x); },
             "Anomaly score of x (higher is more anomalous); changes nothing.")
        .def("reset", &T::reset, "Forget everything learnt; keep the parameters.");
}

}  // namespace

void bind_HalfSpaceTrees(py::module_& m) {
    using T = HalfSpaceTrees;
    PyClass<T, IAnomalyDetector> cls(
        m, "HalfSpaceTrees",
        "Streaming half-space trees (Tan, Ting & Liu, IJCAI 2011): random binary trees over the "
        "feature space count the records of alternating windows; records in sparsely filled regions "
        "score high. Score in [0, 1]: 1 minus the normalised mass profile.");
    cls.def(py::init([](int n_trees, int height, int window_size, std::optional<T::Limits> limits,
                        std::optional<std::uint32_t> seed) {
                return std::make_shared<T>(n_trees, height, window_size, limits.value_or(T::Limits{}), seed);
            }),
            py::arg("n_trees") = 25, py::arg("height") = 15, py::arg("window_size") = 250,
            py::arg("limits") = py::none(), py::arg("seed") = py::none(),
            "n_trees: trees; height: depth of every tree; window_size: records per window (the "
            "reference mass is the previous window's); limits: {feature: (low, high)}, features "
            "without limits are taken in [0, 1]; seed: random seed (None: a fixed default, 1). "
            "Features are those of the first record learnt (and of limits); a missing one reads as 0.");
    def_detector_methods(cls);
    cls.def_property_readonly("n_trees", &T::n_trees, "Number of trees.")
        .def_property_readonly("height", &T::height, "Depth of every tree.")
        .def_property_readonly("window_size", &T::window_size, "Records per window.")
        .def_property_readonly(
            "limits", [](const T& self) -> py::object {
                if (self.limits().empty()) return py::none();
                return py::cast(self.limits());
            },
            "The feature limits given (None when none).")
        .def_property_readonly("seed", &T::seed, "Random seed (None: the default).")
        .def_property_readonly("n_nodes", &T::n_nodes, "Nodes made so far, over all trees.");
}

void bind_OnlineIsolationForest(py::module_& m) {
    using T = OnlineIsolationForest;
    PyClass<T, IAnomalyDetector> cls(
        m, "OnlineIsolationForest",
        "Online isolation forest (Leveni, Weigert Cassales, Pfahringer, Bifet & Boracchi, ICML "
        "2024): isolation trees that split and merge as a sliding window's records arrive and leave. "
        "Score in (0, 1]: 2^(-mean depth / c(window count)).");
    cls.def(py::init<int, int, const std::string&, double, int, std::optional<std::uint32_t>>(),
            py::arg("n_trees") = 32, py::arg("max_leaf_samples") = 32, py::arg("growth") = "adaptive",
            py::arg("subsample") = 1.0, py::arg("window_size") = 2048, py::arg("seed") = py::none(),
            "n_trees: trees; max_leaf_samples: records a leaf holds before it splits (times 2^depth "
            "with growth='adaptive', as is with 'fixed'); subsample: probability that a tree learns "
            "a record; window_size: records remembered; seed: random seed (None: a fixed default, 1).");
    def_detector_methods(cls);
    cls.def_property_readonly("n_trees", &T::n_trees, "Number of trees.")
        .def_property_readonly("max_leaf_samples", &T::max_leaf_samples, "Base leaf size.")
        .def_property_readonly("growth", &T::growth, "'adaptive' or 'fixed'.")
        .def_property_readonly("subsample", &T::subsample, "Probability a tree learns a record.")
        .def_property_readonly("window_size", &T::window_size, "Records remembered.")
        .def_property_readonly("seed", &T::seed, "Random seed (None: the default).")
        .def_property_readonly("n_nodes", &T::n_nodes, "Nodes in use, over all trees.");
}

void bind_LODA(py::module_& m) {
    using T = LODA;
    PyClass<T, IAnomalyDetector> cls(
        m, "LODA",
        "Lightweight on-line detector of anomalies (Pevny, Machine Learning 2016): histograms of "
        "sparse random projections; score: mean negative log density.");
    cls.def(py::init([](int n_projections, int window_size, const py::object& n_bins,
                        std::optional<std::uint32_t> seed) {
                int bins = 0;
                if (py::isinstance<py::str>(n_bins)) {
                    if (n_bins.cast<std::string>() != "auto") {
                        throw py::value_error("LODA: n_bins must be 'auto' or a positive int.");
                    }
                } else if (py::isinstance<py::int_>(n_bins) && !py::isinstance<py::bool_>(n_bins)) {
                    const long long b = n_bins.cast<long long>();
                    if (b < 1 || b > 1000000) {
                        throw py::value_error("LODA: n_bins must be 'auto' or an int from 1 to 1000000 (got " +
                                              std::to_string(b) + ").");
                    }
                    bins = static_cast<int>(b);
                } else {
                    throw py::type_error("LODA: n_bins must be 'auto' or an int.");
                }
                return std::make_shared<T>(n_projections, window_size, bins, seed);
            }),
            py::arg("n_projections") = 100, py::arg("window_size") = 256, py::arg("n_bins") = "auto",
            py::arg("seed") = py::none(),
            "n_projections: random projections; window_size: records per histogram block; n_bins: "
            "bins per histogram, or 'auto' (Birge & Rozenholc's penalised likelihood, per block); "
            "seed: random seed (None: a fixed default, 1).");
    def_detector_methods(cls);
    cls.def_property_readonly("n_projections", &T::n_projections, "Number of projections.")
        .def_property_readonly("window_size", &T::window_size, "Records per histogram block.")
        .def_property_readonly(
            "n_bins", [](const T& self) -> py::object {
                if (self.n_bins() == 0) return py::str("auto");
                return py::int_(self.n_bins());
            },
            "Bins per histogram, or 'auto'.")
        .def_property_readonly("seed", &T::seed, "Random seed (None: the default).");
}

void bind_RSHash(py::module_& m) {
    using T = RSHash;
    PyClass<T, IAnomalyDetector> cls(
        m, "RSHash",
        "Randomized subspace hashing (Sathe & Aggarwal, ICDM 2016): counts of randomly shifted grid "
        "cells in random subspaces over a sliding window; score: minus the mean log2(1 + count).");
    cls.def(py::init<int, int, int, std::optional<std::uint32_t>>(), py::arg("n_components") = 300,
            py::arg("sample_size") = 1000, py::arg("n_hashes") = 4, py::arg("seed") = py::none(),
            "n_components: random grids; sample_size: records counted (the window) and the s of the "
            "grid parameters; n_hashes: rows of each count-min sketch; seed: random seed (None: a "
            "fixed default, 1).");
    def_detector_methods(cls);
    cls.def_property_readonly("n_components", &T::n_components, "Number of grids.")
        .def_property_readonly("sample_size", &T::sample_size, "Records counted.")
        .def_property_readonly("n_hashes", &T::n_hashes, "Rows of each sketch.")
        .def_property_readonly("seed", &T::seed, "Random seed (None: the default).");
}

void bind_KNNDistance(py::module_& m) {
    using T = KNNDistance;
    PyClass<T, IAnomalyDetector> cls(
        m, "KNNDistance",
        "Distance to the k-th nearest neighbour among the last window_size records (Ramaswamy, "
        "Rastogi & Shim, SIGMOD 2000), Euclidean.");
    cls.def(py::init<int, int>(), py::arg("k") = 10, py::arg("window_size") = 1000,
            "k: the neighbour whose distance scores; window_size: records remembered.");
    def_detector_methods(cls);
    cls.def_property_readonly("k", &T::k, "The neighbour whose distance scores.")
        .def_property_readonly("window_size", &T::window_size, "Records remembered.")
        .def_property_readonly("n_held", &T::n_held, "Records in the window.");
}

}  // namespace kavro::catalog
