#include "catalog/bind.hpp"

#include <cmath>
#include <optional>
#include <stdexcept>
#include <string>

#include "meta/bagging.hpp"
#include "meta/boosting.hpp"
#include "meta/fresh_copy.hpp"
#include "meta/sharing.hpp"
#include "state/archive.hpp"
#include "state/visit_drift.hpp"

namespace kavro {

namespace {

// A copy of a learner through its saved form, made without Python: held objects are written
// in full, so the copy shares nothing with the original.
template <class Interface>
std::shared_ptr<Interface> copy_through_state(const Interface& prototype) {
    const state::ClassEntry* e = state::registry().find(typeid(prototype));
    if (e == nullptr) throw std::invalid_argument("cannot copy a learner of an unknown class");
    state::Codec out_codec(false);
    state::Writer w;
    w.codec = &out_codec;
    e->write(w, const_cast<void*>(dynamic_cast<const void*>(&prototype)));
    state::Codec in_codec(false);
    state::Reader r(reinterpret_cast<const unsigned char*>(w.out.data()), w.out.size());
    r.codec = &in_codec;
    auto copy = state::interface_of<Interface>(*e, e->read(r));
    if (!copy) throw std::logic_error("a copy is not of its prototype's kind");
    return copy;
}

std::shared_ptr<IClassifier> copy_classifier(const IClassifier& p) { return copy_through_state(p); }
std::shared_ptr<IRegressor> copy_regressor(const IRegressor& p) { return copy_through_state(p); }

// The fields every meta-learner built from a prototype saves first.
template <class Ar, class Learner, class Seed>
void visit_prototype(Ar& ar, std::shared_ptr<Learner>& model, int& n_models, Seed& seed,
                     std::vector<std::shared_ptr<Learner>>& members) {
    ar("model", model);
    ar("n_models", n_models);
    ar("seed", seed);
    ar("members", members);
}

// Reading checks shared by the meta-learners built from a prototype.
template <class Ar, class Learner>
void check_members(Ar& ar, const std::shared_ptr<Learner>& model, int n_models,
                   const std::vector<std::shared_ptr<Learner>>& members) {
    state::require(ar, model != nullptr, "the prototype is missing");
    state::require(ar, n_models >= 1, "n_models is below 1");
    state::require(ar, members.size() == static_cast<std::size_t>(n_models),
                   "the member count disagrees with n_models");
    for (const auto& m : members) {
        state::require(ar, m != nullptr && m != model, "a member is missing or is the prototype");
    }
    if constexpr (Ar::mode == state::Mode::read) {
        ar.require(!meta::share_objects(members, model.get()),
                   "the members and the prototype share an object");
    }
}

}  // namespace

template <class Ar>
void BaggingClassifier::visit(Ar& ar) {
    visit_prototype(ar, model_, n_models_, seed_, members_);
    ar("rng", rng_);
    check_members(ar, model_, n_models_, members_);
}

template <class Ar>
void BaggingRegressor::visit(Ar& ar) {
    visit_prototype(ar, model_, n_models_, seed_, members_);
    ar("rng", rng_);
    check_members(ar, model_, n_models_, members_);
}

template <class Ar>
void ADWINBaggingClassifier::visit(Ar& ar) {
    visit_prototype(ar, model_, n_models_, seed_, members_);
    ar("detectors", detectors_);
    ar("n_replaced", n_replaced_);
    ar("rng", rng_);
    check_members(ar, model_, n_models_, members_);
    state::require(ar, detectors_.size() == members_.size(),
                   "the detector count disagrees with the member count");
    state::require(ar, n_replaced_ >= 0, "the replacement count is negative");
}

template <class Ar>
void AdaBoostClassifier::visit(Ar& ar) {
    visit_prototype(ar, model_, n_models_, seed_, members_);
    ar("correct", correct_);
    ar("wrong", wrong_);
    ar("rng", rng_);
    check_members(ar, model_, n_models_, members_);
    if constexpr (Ar::mode == state::Mode::read) {
        ar.require(correct_.size() == members_.size() && wrong_.size() == members_.size(),
                   "the error totals disagree with the member count");
        for (std::size_t i = 0; i < members_.size(); ++i) {
            ar.require(std::isfinite(correct_[i]) && correct_[i] >= 0.0 &&
                           std::isfinite(wrong_[i]) && wrong_[i] >= 0.0,
                       "an error total is negative or not finite");
        }
    }
}

template <class Ar>
void VotingClassifier::visit(Ar& ar) {
    ar("models", models_);
    ar("weights", weights_);
    if constexpr (Ar::mode == state::Mode::read) {
        ar.require(!models_.empty(), "there are no models");
        try {
            meta::require_models(models_, "models");
            meta::require_weights(weights_, models_.size());
        } catch (const std::invalid_argument& e) {
            ar.require(false, e.what());
        }
        ar.require(!meta::share_objects(models_), "the models share an object");
    }
}

template <class Ar>
void StackingClassifier::visit(Ar& ar) {
    ar("models", models_);
    ar("meta_model", meta_model_);
    if constexpr (Ar::mode == state::Mode::read) {
        ar.require(!models_.empty(), "there are no models");
        try {
            meta::require_models(models_, "models");
        } catch (const std::invalid_argument& e) {
            ar.require(false, e.what());
        }
        for (const auto& m : models_) ar.require(m != meta_model_, "the meta model is also a member");
        ar.require(!meta::share_objects(models_, meta_model_.get()),
                   "the models and the meta model share an object");
    }
}

}  // namespace kavro

KAVRO_STATE(BaggingClassifier)
KAVRO_STATE(BaggingRegressor)
KAVRO_STATE(ADWINBaggingClassifier)
KAVRO_STATE(AdaBoostClassifier)
KAVRO_STATE(VotingClassifier)
KAVRO_STATE(StackingClassifier)

namespace kavro::catalog {

namespace {

// An unlearnt copy of `model` (kavro.clone), the prototype a meta-learner keeps.
template <class Interface>
std::shared_ptr<Interface> prototype_of(const std::shared_ptr<Interface>& model, const char* what) {
    if (!model) throw py::type_error(std::string(what) + ": expected a learner, got None.");
    meta::install_copiers(&copy_classifier, &copy_regressor);
    py::object copy = py::module_::import("kavro").attr("clone")(py::cast(model));
    return copy.cast<std::shared_ptr<Interface>>();
}

template <class Interface>
void refuse_none(const std::vector<std::shared_ptr<Interface>>& models, const char* what) {
    for (const auto& m : models) {
        if (!m) throw py::type_error(std::string(what) + ": a model is None.");
    }
}

// Held models must not share objects: they would learn twice, or race on threads.
template <class Interface>
void refuse_sharing(const std::vector<std::shared_ptr<Interface>>& models, const Interface* extra,
                    const char* what) {
    meta::require_models(models, "models");
    if (meta::share_objects(models, extra)) {
        throw py::value_error(std::string(what) +
                              " share an object (a pipeline step given twice?); pass separate "
                              "objects.");
    }
}

// None gives seed 0.
std::uint32_t seed_or_default(std::optional<std::int64_t> seed) {
    if (!seed) return 0u;
    if (*seed < 0 || *seed > 0xffffffffLL) {
        throw py::value_error("'seed' must be None or an integer in [0, 2**32) (got " +
                              std::to_string(*seed) + ").");
    }
    return static_cast<std::uint32_t>(*seed);
}

constexpr const char* kPrototypeDoc =
    "model: the prototype (any classifier); members are unlearnt copies of its parameters "
    "(kavro.clone) and the prototype itself is never learnt from; n_models: members (>= 1); "
    "seed: generator of the Poisson draws (None: 0).";

template <class T, class Base>
void def_prototype_properties(PyClass<T, Base>& cls) {
    cls.def_property_readonly("model", &T::model, "The prototype (never learnt from).")
        .def_property_readonly("n_models", &T::n_models, "Number of members.")
        .def_property_readonly("seed", &T::seed, "Seed of the Poisson draws.")
        .def_property_readonly("members", &T::members, "The members, in order.");
}

}  // namespace

void bind_BaggingClassifier(py::module_& m) {
    meta::install_copiers(&copy_classifier, &copy_regressor);
    PyClass<BaggingClassifier, IClassifier> cls(
        m, "BaggingClassifier",
        "Online bagging of any classifier (Oza & Russell, Online Bagging and Boosting, AISTATS "
        "2001): each member learns each example k ~ Poisson(1) times; the prediction averages "
        "the members' normalised probabilities. With kavro.learn_many(..., n_jobs=k) members "
        "learn on k threads with the same result.");
    cls.def(py::init([](std::shared_ptr<IClassifier> model, int n_models,
                        std::optional<std::int64_t> seed) {
                return std::make_shared<BaggingClassifier>(prototype_of(model, "model"), n_models,
                                                           seed_or_default(seed));
            }),
            py::arg("model"), py::arg("n_models") = 10, py::arg("seed") = py::none(), kPrototypeDoc);
    def_classifier_methods(cls);
    def_prototype_properties(cls);
}

void bind_BaggingRegressor(py::module_& m) {
    PyClass<BaggingRegressor, IRegressor> cls(
        m, "BaggingRegressor",
        "Online bagging of any regressor (Oza & Russell, AISTATS 2001): each member learns each "
        "example k ~ Poisson(1) times; the prediction is the members' mean. With "
        "kavro.learn_many(..., n_jobs=k) members learn on k threads with the same result.");
    cls.def(py::init([](std::shared_ptr<IRegressor> model, int n_models,
                        std::optional<std::int64_t> seed) {
                return std::make_shared<BaggingRegressor>(prototype_of(model, "model"), n_models,
                                                          seed_or_default(seed));
            }),
            py::arg("model"), py::arg("n_models") = 10, py::arg("seed") = py::none(),
            "model: the prototype (any regressor); members are unlearnt copies of its parameters "
            "and the prototype is never learnt from; n_models: members (>= 1); seed: generator of "
            "the Poisson draws (None: 0).");
    def_regressor_methods(cls);
    def_prototype_properties(cls);
}

void bind_ADWINBaggingClassifier(py::module_& m) {
    PyClass<ADWINBaggingClassifier, IClassifier> cls(
        m, "ADWINBaggingClassifier",
        "Online bagging with ADWIN (Bifet, Holmes, Pfahringer, Kirkby & Gavalda, New ensemble "
        "methods for evolving data streams, KDD 2009): each member's 0/1 error, taken before it "
        "learns the example, feeds its own ADWIN (delta 0.002); when any of them detects a change "
        "the member with the highest estimated error is replaced by an unlearnt copy.");
    cls.def(py::init([](std::shared_ptr<IClassifier> model, int n_models,
                        std::optional<std::int64_t> seed) {
                return std::make_shared<ADWINBaggingClassifier>(prototype_of(model, "model"),
                                                                n_models, seed_or_default(seed));
            }),
            py::arg("model"), py::arg("n_models") = 10, py::arg("seed") = py::none(), kPrototypeDoc);
    def_classifier_methods(cls);
    def_prototype_properties(cls);
    cls.def_property_readonly("n_replaced", &ADWINBaggingClassifier::n_replaced,
                              "Members replaced after a detected change.");
}

void bind_AdaBoostClassifier(py::module_& m) {
    PyClass<AdaBoostClassifier, IClassifier> cls(
        m, "AdaBoostClassifier",
        "Online boosting (Oza & Russell, Online Bagging and Boosting, AISTATS 2001): the example "
        "enters with weight lambda = 1; member m learns it Poisson(lambda) times, then lambda is "
        "scaled by 1/(2(1-e_m)) when m now predicts it right, else by 1/(2 e_m), e_m being m's "
        "weighted error. Members vote with weights log((1-e_m)/e_m) (those with e_m >= 1/2 do "
        "not vote; e_m is floored at 1e-6, lambda capped at 1000).");
    cls.def(py::init([](std::shared_ptr<IClassifier> model, int n_models,
                        std::optional<std::int64_t> seed) {
                return std::make_shared<AdaBoostClassifier>(prototype_of(model, "model"), n_models,
                                                            seed_or_default(seed));
            }),
            py::arg("model"), py::arg("n_models") = 10, py::arg("seed") = py::none(), kPrototypeDoc);
    def_classifier_methods(cls);
    def_prototype_properties(cls);
    cls.def_property_readonly("errors", &AdaBoostClassifier::errors,
                              "Weighted error e_m of every member (0 before it has seen anything).");
}

void bind_VotingClassifier(py::module_& m) {
    PyClass<VotingClassifier, IClassifier> cls(
        m, "VotingClassifier",
        "Soft voting: every model learns every example; the prediction is the weighted mean of "
        "the models' normalised probabilities. With kavro.learn_many(..., n_jobs=k) the models "
        "learn on k threads with the same result.");
    cls.def(py::init([](std::vector<std::shared_ptr<IClassifier>> models,
                        std::optional<std::vector<double>> weights) {
                refuse_none(models, "models");
                refuse_sharing<IClassifier>(models, nullptr, "'models'");
                return std::make_shared<VotingClassifier>(std::move(models),
                                                          weights.value_or(std::vector<double>{}));
            }),
            py::arg("models"), py::arg("weights") = py::none(),
            "models: the classifiers, held (not copied), each object once; weights: one weight "
            ">= 0 per model (None: equal).");
    def_classifier_methods(cls);
    cls.def_property_readonly("models", &VotingClassifier::models, "The models, in order.")
        .def_property_readonly(
            "weights",
            [](const VotingClassifier& self) -> py::object {
                if (self.weights().empty()) return py::none();
                return py::cast(self.weights());
            },
            "The weights (None: equal).");
}

void bind_StackingClassifier(py::module_& m) {
    PyClass<StackingClassifier, IClassifier> cls(
        m, "StackingClassifier",
        "Stacking (Wolpert, Stacked generalization, Neural Networks 1992) online: the meta model "
        "learns from the models' probabilities predicted before the models learn the example; "
        "its feature '<i>:<label>' is model i's probability of label.");
    cls.def(py::init([](std::vector<std::shared_ptr<IClassifier>> models,
                        std::shared_ptr<IClassifier> meta_model) {
                refuse_none(models, "models");
                if (!meta_model) throw py::type_error("meta_model: expected a classifier, got None.");
                for (const auto& m : models) {
                    if (m == meta_model) throw py::value_error("'meta_model' must not be one of 'models'.");
                }
                refuse_sharing<IClassifier>(models, meta_model.get(), "'models' and 'meta_model'");
                return std::make_shared<StackingClassifier>(std::move(models), std::move(meta_model));
            }),
            py::arg("models"), py::arg("meta_model"),
            "models: the classifiers, held (not copied), each object once; meta_model: the "
            "classifier that learns from their probabilities.");
    def_classifier_methods(cls);
    cls.def_property_readonly("models", &StackingClassifier::models, "The models, in order.")
        .def_property_readonly("meta_model", &StackingClassifier::meta_model, "The meta model.")
        .def("meta_features", &StackingClassifier::meta_features, py::arg("x"),
             "The record the meta model sees for x.");
}

}  // namespace kavro::catalog
