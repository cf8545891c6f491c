#include "catalog/bind.hpp"
#include "linear/feature_hasher.hpp"
#include "state/archive.hpp"

namespace kavro {

template <class Ar>
void FeatureHasher::visit(Ar& ar) {
    ar("n_features", n_features_);
    ar("seed", seed_);
    state::require(ar, n_features_ >= 1 && n_features_ <= kMaxFeatures, "n_features is out of range");
    state::require(ar, seed_ >= 0 && seed_ <= kMaxSeed, "seed is out of range");
}

}  // namespace kavro

KAVRO_STATE(FeatureHasher)

namespace kavro::catalog {

void bind_FeatureHasher(py::module_& m) {
    PyClass<FeatureHasher, ITransformer> cls(
        m, "FeatureHasher",
        "Signed feature hashing (Weinberger et al., 'Feature hashing for large scale multitask "
        "learning', ICML 2009): each name goes to one of n_features columns, named by their index "
        "in decimal, with its value times a sign of +1 or -1 drawn from the same 64-bit hash of "
        "the name (FNV-1a from a start mixed with the seed, then the splitmix64 finaliser: the "
        "lowest bit gives the sign, the rest modulo n_features the column). Colliding names add "
        "up. Stateless, for streams whose feature names are unbounded.");
    cls.def(py::init<std::int64_t, std::int64_t>(), py::arg("n_features") = std::int64_t(1) << 20,
            py::arg("seed") = 0,
            "Create the hasher. n_features: number of columns (1 to 2**40); seed: 0 to 2**32 - 1, "
            "another hash function per seed.");
    cls.def("learn_one", [](FeatureHasher& self, const FeatureMap& x) { self.learn_one(x); },
            "Nothing to learn: the hasher is stateless.")
        .def("transform_one", [](FeatureHasher& self, const FeatureMap& x) { return self.transform_one(x); },
             "Return the hashed record; the argument is not changed.")
        .def("reset", &FeatureHasher::reset, "Nothing to forget.")
        .def_property_readonly("n_features", &FeatureHasher::n_features, "Number of columns.")
        .def_property_readonly("seed", &FeatureHasher::seed, "Seed of the hash.")
        .def(
            "column",
            [](const FeatureHasher& self, const std::string& name) {
                double sign = 1.0;
                const std::int64_t j = self.column(name, sign);
                return py::make_tuple(j, sign);
            },
            py::arg("name"), "The column of a feature name and its sign (+1.0 or -1.0).");
}

}  // namespace kavro::catalog
