#include "catalog/bind.hpp"

#include <functional>
#include <optional>
#include <string>

#include "catalog/measures.hpp"
#include "meta/boosting.hpp"
#include "meta/sharing.hpp"
#include "metrics/metric_adapters.hpp"
#include "selection/model_selection.hpp"
#include "state/archive.hpp"

namespace kavro::selection {

namespace py = pybind11;

// The object behind a held measure: the core metric inside an adapter, else the measure.
struct Behind {
    const void* object = nullptr;
    const std::type_info* type = nullptr;
    std::function<py::object()> python;
};

template <class M, class Adapter, class Metric>
bool core_behind(const std::shared_ptr<Metric>& p, Behind& b) {
    const auto* a = dynamic_cast<const Adapter*>(p.get());
    if (a == nullptr) return false;
    b.object = a->metric().get();
    b.type = &typeid(M);
    b.python = [m = a->metric()] { return py::cast(m); };
    return true;
}

template <class Metric>
Behind behind(const std::shared_ptr<Metric>& p) {
    Behind b;
    bool core;
    if constexpr (std::is_same_v<Metric, IClassificationMetric>) {
        core = core_behind<Accuracy, CoreLabelMetric<Accuracy>>(p, b) ||
               core_behind<MacroPrecision, CoreLabelMetric<MacroPrecision>>(p, b) ||
               core_behind<MacroRecall, CoreLabelMetric<MacroRecall>>(p, b) ||
               core_behind<MacroF1, CoreLabelMetric<MacroF1>>(p, b) ||
               core_behind<WindowMetric, CoreWindowMetric>(p, b);
    } else {
        core = core_behind<MAE, CoreValueMetric<MAE>>(p, b) ||
               core_behind<RMSE, CoreValueMetric<RMSE>>(p, b) ||
               core_behind<R2, CoreValueMetric<R2>>(p, b) ||
               core_behind<WindowRegressionMetric, CoreValueMetric<WindowRegressionMetric>>(p, b);
    }
    if (!core) {
        b.object = dynamic_cast<const void*>(p.get());
        b.type = &typeid(*p);
        b.python = [p] { return py::cast(p); };
    }
    return b;
}

namespace {

template <class M, class Adapter, class Metric>
bool wrap_core(const std::string& name, const char* expected, const std::shared_ptr<void>& obj,
               std::shared_ptr<Metric>& out) {
    if (name != expected) return false;
    out = std::make_shared<Adapter>(std::static_pointer_cast<M>(obj));
    return true;
}

template <class Metric>
std::shared_ptr<Metric> measure_from(const std::string& name, const std::shared_ptr<void>& obj) {
    std::shared_ptr<Metric> out;
    if constexpr (std::is_same_v<Metric, IClassificationMetric>) {
        if (wrap_core<Accuracy, CoreLabelMetric<Accuracy>>(name, "Accuracy", obj, out) ||
            wrap_core<MacroPrecision, CoreLabelMetric<MacroPrecision>>(name, "MacroPrecision", obj, out) ||
            wrap_core<MacroRecall, CoreLabelMetric<MacroRecall>>(name, "MacroRecall", obj, out) ||
            wrap_core<MacroF1, CoreLabelMetric<MacroF1>>(name, "MacroF1", obj, out) ||
            wrap_core<WindowMetric, CoreWindowMetric>(name, "WindowMetric", obj, out)) {
            return out;
        }
        const state::ClassEntry* e = state::registry().find(name);
        return e ? e->as_label_measure(obj) : nullptr;
    } else {
        if (wrap_core<MAE, CoreValueMetric<MAE>>(name, "MAE", obj, out) ||
            wrap_core<RMSE, CoreValueMetric<RMSE>>(name, "RMSE", obj, out) ||
            wrap_core<R2, CoreValueMetric<R2>>(name, "R2", obj, out) ||
            wrap_core<WindowRegressionMetric, CoreValueMetric<WindowRegressionMetric>>(
                name, "WindowRegressionMetric", obj, out)) {
            return out;
        }
        const state::ClassEntry* e = state::registry().find(name);
        return e ? e->as_value_measure(obj) : nullptr;
    }
}

// A held measure, saved as the object behind it (by class name, like any held object).
template <class Ar, class Metric>
void io_measure(Ar& ar, std::shared_ptr<Metric>& p) {
    if constexpr (Ar::mode == state::Mode::write) {
        if (!p) throw std::invalid_argument("cannot save a missing measure");
        const Behind b = behind(p);
        auto* codec = static_cast<state::Codec*>(ar.codec);
        if (codec->external()) {
            codec->write_external(ar, b.python());
        } else {
            codec->write_ref(ar, b.object, *b.type);
        }
    } else if constexpr (Ar::mode == state::Mode::read) {
        std::string name;
        std::shared_ptr<void> obj = ar.codec->read_ref(ar, name);
        auto typed = measure_from<Metric>(name, obj);
        ar.require(typed != nullptr, "a held measure is not of the kind its place requires");
        p = std::move(typed);
    } else {
        const Behind b = behind(p);
        state::Nested<Ar> guard(ar);
        ar.result = ar.codec->describe_ref(b.object, *b.type);
    }
}

template <class Ar, class Metric>
void measure_field(Ar& ar, const char* name, std::shared_ptr<Metric>& p) {
    io_measure(ar, p);
    if constexpr (Ar::mode == state::Mode::describe) ar.fields[py::str(name)] = ar.result;
}

template <class Ar, class Metric>
void measures_field(Ar& ar, const char* name, std::vector<std::shared_ptr<Metric>>& v) {
    if constexpr (Ar::mode == state::Mode::write) {
        ar.put_count(v.size());
        for (auto& p : v) io_measure(ar, p);
    } else if constexpr (Ar::mode == state::Mode::read) {
        const std::size_t n = ar.get_count(1);
        std::vector<std::shared_ptr<Metric>> fresh(n);
        for (auto& p : fresh) io_measure(ar, p);
        v = std::move(fresh);
    } else {
        py::list out;
        for (auto& p : v) {
            io_measure(ar, p);
            out.append(ar.result);
        }
        ar.fields[py::str(name)] = out;
    }
}

}  // namespace

template <class Ar>
void visit(Ar& ar, LabelOutcome& o) {
    ar("y_true", o.y_true);
    ar("y_pred", o.y_pred);
    ar("score", o.score);
    ar("proba", o.proba);
}

template <class Ar>
void visit(Ar& ar, ValueOutcome& o) {
    ar("y_true", o.y_true);
    ar("y_pred", o.y_pred);
}

template <class Tr>
template <class Ar>
void Candidates<Tr>::visit(Ar& ar) {
    ar("models", models);
    measure_field(ar, "metric", metric);
    measures_field(ar, "measures", measures);
    ar("higher_is_better", higher_is_better);
    ar("window", window);
    ar("outcomes", outcomes);
    if constexpr (Ar::mode == state::Mode::read) {
        ar.require(!models.empty(), "there are no candidates");
        for (std::size_t i = 0; i < models.size(); ++i) {
            ar.require(models[i] != nullptr, "a candidate is missing");
            for (std::size_t j = 0; j < i; ++j) ar.require(models[j] != models[i], "a candidate is listed twice");
        }
        ar.require(!meta::share_objects(models), "the candidates share an object");
        ar.require(measures.size() == models.size(), "the measure count disagrees with the candidates");
        for (std::size_t i = 0; i < measures.size(); ++i) {
            ar.require(measures[i] != nullptr && measures[i] != metric, "a measure is missing or shared");
            for (std::size_t j = 0; j < i; ++j) ar.require(measures[j] != measures[i], "a measure is shared");
        }
        ar.require(window >= 0, "the window is negative");
        ar.require(outcomes.size() == (window > 0 ? models.size() : 0),
                   "the kept outcomes disagree with the window");
        for (const auto& kept : outcomes) {
            ar.require(static_cast<std::int64_t>(kept.size()) <= window, "more outcomes are kept than the window");
        }
    }
}

template <class Tr>
template <class Ar>
void Halving<Tr>::visit(Ar& ar) {
    ar("candidates", core);
    ar("budget", budget);
    ar("eta", eta);
    ar("active", active);
    ar("round", round);
    ar("in_round", in_round);
    if constexpr (Ar::mode == state::Mode::read) {
        ar.require(eta >= 2, "eta is below 2");
        ar.require(active.size() == core.models.size(), "the active flags disagree with the candidates");
        std::size_t n = 0;
        for (auto a : active) {
            ar.require(a <= 1, "an active flag is not 0 or 1");
            n += a;
        }
        ar.require(n >= 1, "no candidate is active");
        ar.require(round >= 0 && round <= rounds(), "the round is out of range");
        ar.require(budget >= static_cast<std::int64_t>(core.models.size()) * rounds() && budget >= 1,
                   "the budget is too small for the candidates");
        ar.require(in_round >= 0 && (round == rounds() ? in_round == 0 : in_round < round_length()),
                   "the examples of the round are out of range");
    }
}

}  // namespace kavro::selection

namespace kavro {

template <class Ar>
void ModelSelector::visit(Ar& ar) {
    ar("candidates", core_);
}

template <class Ar>
void ModelSelectorRegressor::visit(Ar& ar) {
    ar("candidates", core_);
}

template <class Ar>
void SuccessiveHalvingClassifier::visit(Ar& ar) {
    ar("halving", h_);
}

template <class Ar>
void SuccessiveHalvingRegressor::visit(Ar& ar) {
    ar("halving", h_);
}

}  // namespace kavro

KAVRO_STATE(ModelSelector)
KAVRO_STATE(ModelSelectorRegressor)
KAVRO_STATE(SuccessiveHalvingClassifier)
KAVRO_STATE(SuccessiveHalvingRegressor)

namespace kavro::catalog {

namespace {

// Larger is better unless the measure says otherwise (a `higher_is_better` attribute) or is an
// error measure of real values (every one but R2).
bool higher_is_better(py::handle metric, bool of_values) {
    if (py::hasattr(metric, "higher_is_better")) return py::bool_(metric.attr("higher_is_better"));
    const std::string name = py::str(py::type::handle_of(metric).attr("__name__"));
    if (name == "R2") return true;
    return !of_values;
}

template <class Tr>
selection::Candidates<Tr> candidates(std::vector<std::shared_ptr<typename Tr::Learner>> models,
                                     py::object metric, std::optional<std::int64_t> window,
                                     const char* default_metric) {
    constexpr bool of_values = std::is_same_v<Tr, selection::ValueTraits>;
    for (const auto& m : models) {
        if (!m) throw py::type_error("models: a model is None.");
    }
    meta::require_models(models, "models");
    if (meta::share_objects(models)) {
        throw py::value_error(
            "'models' share an object (a pipeline step given twice?); pass separate objects.");
    }
    if (window && *window < 1) {
        throw py::value_error("'window' must be None or at least 1 (got " + std::to_string(*window) +
                              ").");
    }
    if (metric.is_none()) metric = py::module_::import("_kavro_core").attr(default_metric)();
    auto measure = [&](py::handle obj) -> std::shared_ptr<typename Tr::Metric> {
        const Measure m = measure_of(obj, "metric");
        if constexpr (of_values) {
            if (!m.values) throw py::type_error("metric: expected a measure of real-valued predictions.");
            return m.values;
        } else {
            if (!m.labels) {
                throw py::type_error("metric: expected a measure of labels, probabilities or scores.");
            }
            return m.labels;
        }
    };
    measure(metric);  // refuses a non-measure before anything is copied
    py::object clone = py::module_::import("kavro").attr("clone");
    auto prototype = measure(clone(metric));
    std::vector<std::shared_ptr<typename Tr::Metric>> measures;
    for (std::size_t i = 0; i < models.size(); ++i) measures.push_back(measure(clone(metric)));
    return selection::Candidates<Tr>(std::move(models), std::move(prototype), std::move(measures),
                                     higher_is_better(metric, of_values), window.value_or(0));
}

template <class T, class Base, class Get>
void def_candidate_properties(PyClass<T, Base>& cls, Get core) {
    cls.def_property_readonly("models", [core](const T& self) { return core(self).models; },
                              "The candidates, in order.")
        .def_property_readonly(
            "metric", [core](const T& self) { return selection::behind(core(self).metric).python(); },
            "The measure the candidates are scored by (an unlearnt copy of the one given).")
        .def_property_readonly("scores", [core](const T& self) { return core(self).scores(); },
                               "Every candidate's measure now, in order.");
}

// The candidates' properties, the window and the candidate that predicts now.
template <class T, class Base>
void def_selector_properties(PyClass<T, Base>& cls) {
    def_candidate_properties(cls, [](const T& self) -> const typename T::Core& { return self.core(); });
    cls.def_property_readonly(
           "window",
           [](const T& self) -> py::object {
               return self.core().window > 0 ? py::cast(self.core().window) : py::none();
           },
           "Examples the measure covers (None: all).")
        .def_property_readonly("best", &T::best, "Position of the candidate that predicts now.");
}

constexpr const char* kSelectorDoc =
    "models: the candidates, held (not copied), each object once; metric: the measure (any "
    "measure object; each candidate is scored by its own copy; None: %s); window: score over "
    "the last `window` examples (None: every example so far).";

std::string selector_doc(const char* default_metric) {
    std::string s = kSelectorDoc;
    return s.replace(s.find("%s"), 2, default_metric);
}

}  // namespace

void bind_ModelSelector(py::module_& m) {
    using T = ModelSelector;
    PyClass<T, IClassifier> cls(
        m, "ModelSelector",
        "Prequential model selection: every candidate learns every example, after its "
        "prediction of it has updated its own copy of the measure; predictions come from the "
        "candidate with the best measure so far (or over the last `window` examples); ties keep "
        "the earlier candidate. With kavro.learn_many(..., n_jobs=k) the candidates learn on k "
        "threads with the same result.");
    cls.def(py::init([](std::vector<std::shared_ptr<IClassifier>> models, py::object metric,
                        std::optional<std::int64_t> window) {
                return std::make_shared<T>(
                    candidates<selection::ClassTraits>(std::move(models), metric, window, "Accuracy"));
            }),
            py::arg("models"), py::arg("metric") = py::none(), py::arg("window") = py::none(),
            selector_doc("Accuracy()").c_str());
    def_classifier_methods(cls);
    def_selector_properties(cls);
}

void bind_ModelSelectorRegressor(py::module_& m) {
    using T = ModelSelectorRegressor;
    PyClass<T, IRegressor> cls(
        m, "ModelSelectorRegressor",
        "Prequential model selection among regressors: every candidate learns every example, "
        "after its prediction of it has updated its own copy of the measure; predictions come "
        "from the candidate with the best measure so far (or over the last `window` examples); "
        "ties keep the earlier candidate.");
    cls.def(py::init([](std::vector<std::shared_ptr<IRegressor>> models, py::object metric,
                        std::optional<std::int64_t> window) {
                return std::make_shared<T>(
                    candidates<selection::ValueTraits>(std::move(models), metric, window, "MAE"));
            }),
            py::arg("models"), py::arg("metric") = py::none(), py::arg("window") = py::none(),
            selector_doc("MAE()").c_str());
    def_regressor_methods(cls);
    def_selector_properties(cls);
}

namespace {

constexpr const char* kHalvingDoc =
    "models: the candidates, held (not copied), each object once; metric: the measure (any "
    "measure object; each candidate is scored by its own copy; None: %s); budget: examples "
    "learnt by all candidates together over the rounds (at least candidates x rounds); eta: "
    "1/eta of the candidates go on after each round (>= 2).";

template <class T, class Base>
void def_halving_properties(PyClass<T, Base>& cls) {
    def_candidate_properties(cls, [](const T& self) -> const auto& { return self.halving().core; });
    cls.def_property_readonly("budget", [](const T& self) { return self.halving().budget; },
                              "Examples learnt by all candidates together over the rounds.")
        .def_property_readonly("eta", [](const T& self) { return self.halving().eta; },
                               "1/eta of the candidates go on after each round.")
        .def_property_readonly("best", [](const T& self) { return self.halving().best(); },
                               "Position of the candidate that predicts now.")
        .def_property_readonly(
            "active",
            [](const T& self) {
                std::vector<std::size_t> out;
                const auto& a = self.halving().active;
                for (std::size_t i = 0; i < a.size(); ++i) {
                    if (a[i]) out.push_back(i);
                }
                return out;
            },
            "Positions of the candidates still learning.")
        .def_property_readonly("rounds", [](const T& self) { return self.halving().rounds(); },
                               "Halving rounds in all.")
        .def_property_readonly("round", [](const T& self) { return self.halving().round; },
                               "Rounds completed.");
}

std::string halving_doc(const char* default_metric) {
    std::string s = kHalvingDoc;
    return s.replace(s.find("%s"), 2, default_metric);
}

}  // namespace

void bind_SuccessiveHalvingClassifier(py::module_& m) {
    using T = SuccessiveHalvingClassifier;
    PyClass<T, IClassifier> cls(
        m, "SuccessiveHalvingClassifier",
        "Successive halving (Karnin, Koren & Somekh, Almost optimal exploration in multi-armed "
        "bandits, ICML 2013) for online model selection: in round r every candidate still in "
        "S_r learns budget / (|S_r| * rounds) examples, then only the best ceil(|S_r| / eta) by "
        "the prequential measure (ties keep the earlier) go on learning; the last one learns on "
        "after the budget. Predictions come from the best candidate still learning.");
    cls.def(py::init([](std::vector<std::shared_ptr<IClassifier>> models, py::object metric,
                        std::int64_t budget, int eta) {
                return std::make_shared<T>(T::Core(
                    candidates<selection::ClassTraits>(std::move(models), metric, std::nullopt,
                                                       "Accuracy"),
                    budget, eta));
            }),
            py::arg("models"), py::arg("metric") = py::none(), py::arg("budget") = 1000,
            py::arg("eta") = 2, halving_doc("Accuracy()").c_str());
    def_classifier_methods(cls);
    def_halving_properties(cls);
}

void bind_SuccessiveHalvingRegressor(py::module_& m) {
    using T = SuccessiveHalvingRegressor;
    PyClass<T, IRegressor> cls(
        m, "SuccessiveHalvingRegressor",
        "Successive halving (Karnin, Koren & Somekh, ICML 2013) for online selection among "
        "regressors: in round r every candidate still in S_r learns budget / (|S_r| * rounds) "
        "examples, then only the best ceil(|S_r| / eta) by the prequential measure (ties keep "
        "the earlier) go on learning. Predictions come from the best candidate still learning.");
    cls.def(py::init([](std::vector<std::shared_ptr<IRegressor>> models, py::object metric,
                        std::int64_t budget, int eta) {
                return std::make_shared<T>(T::Core(
                    candidates<selection::ValueTraits>(std::move(models), metric, std::nullopt, "MAE"),
                    budget, eta));
            }),
            py::arg("models"), py::arg("metric") = py::none(), py::arg("budget") = 1000,
            py::arg("eta") = 2, halving_doc("MAE()").c_str());
    def_regressor_methods(cls);
    def_halving_properties(cls);
}

}  // namespace kavro::catalog
