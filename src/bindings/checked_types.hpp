// Every bound class is loaded from Python through a caster that refuses objects
// whose C++ value was never constructed (made by __new__ without __init__), so a
// method, property or argument never reaches unconstructed memory. None and
// objects of other types fail to load, which pybind11 reports as TypeError.
// Included by every binding source before any class is used with pybind11.
#pragma once

#include <memory>

#include <pybind11/pybind11.h>

#include "core/interfaces.hpp"

namespace kavro {
class ADWIN;
class EDDM;
class ARFClassifier;
class ARFRegressor;
class LeveragingBaggingClassifier;
class LeveragingBaggingRegressor;
class SGBTClassifier;
class SGBRRegressor;
class SRPClassifier;
class SRPRegressor;
class BayesianLinearRegression;
class LinearRegression;
class LogisticRegression;
class NaiveBayes;
class PassiveAggressiveClassifier;
class PassiveAggressiveRegressor;
class Perceptron;
class SoftmaxRegression;
class Accuracy;
class MacroBase;
class MacroPrecision;
class MacroRecall;
class MacroF1;
class MAE;
class RMSE;
class R2;
class WindowMetric;
class WindowRegressionMetric;
class KNNClassifier;
class KNNRegressor;
class ClassificationPipeline;
class RegressionPipeline;
class MaxAbsScaler;
class MinMaxScaler;
class SelectKBest;
class StandardScaler;
class VarianceThreshold;
class EFDTClassifier;
class FIMTDDRegressor;
class HoeffdingAdaptiveTreeClassifier;
class HoeffdingTreeClassifier;
class HoeffdingTreeRegressor;
class SGTClassifier;
}  // namespace kavro

namespace kavro::bindings {

// Whether src is an instance of a bound class whose C++ object has been constructed.
// Objects of other types count as constructed (they are refused by type, not here).
bool holds_constructed_value(pybind11::handle src);

// Throws TypeError "<Class> object is not initialised (was __init__ called?)" when
// src is an instance of a bound class that holds no constructed object.
void require_constructed(pybind11::handle src);

template <class T>
class checked_caster : public pybind11::detail::type_caster_base<T> {
public:
    bool load(pybind11::handle src, bool convert) {
        if (src.is_none()) return false;
        require_constructed(src);
        return pybind11::detail::type_caster_base<T>::load(src, convert);
    }
};

// The same check for arguments taken as shared_ptr (pipeline steps and learners).
template <class T>
class checked_holder_caster
    : public pybind11::detail::copyable_holder_caster<T, std::shared_ptr<T>> {
public:
    bool load(pybind11::handle src, bool convert) {
        if (!src.is_none()) require_constructed(src);
        return pybind11::detail::copyable_holder_caster<T, std::shared_ptr<T>>::load(src, convert);
    }
};

}  // namespace kavro::bindings

#define KAVRO_CHECKED_CASTER(T)                                                               \
    template <>                                                                               \
    class type_caster<kavro::T> : public kavro::bindings::checked_caster<kavro::T> {};        \
    template <>                                                                               \
    class type_caster<std::shared_ptr<kavro::T>>                                              \
        : public kavro::bindings::checked_holder_caster<kavro::T> {};

namespace pybind11::detail {
KAVRO_CHECKED_CASTER(IClassifier)
KAVRO_CHECKED_CASTER(IRegressor)
KAVRO_CHECKED_CASTER(ITransformer)
KAVRO_CHECKED_CASTER(ADWIN)
KAVRO_CHECKED_CASTER(EDDM)
KAVRO_CHECKED_CASTER(ARFClassifier)
KAVRO_CHECKED_CASTER(ARFRegressor)
KAVRO_CHECKED_CASTER(LeveragingBaggingClassifier)
KAVRO_CHECKED_CASTER(LeveragingBaggingRegressor)
KAVRO_CHECKED_CASTER(SGBTClassifier)
KAVRO_CHECKED_CASTER(SGBRRegressor)
KAVRO_CHECKED_CASTER(SRPClassifier)
KAVRO_CHECKED_CASTER(SRPRegressor)
KAVRO_CHECKED_CASTER(BayesianLinearRegression)
KAVRO_CHECKED_CASTER(LinearRegression)
KAVRO_CHECKED_CASTER(LogisticRegression)
KAVRO_CHECKED_CASTER(NaiveBayes)
KAVRO_CHECKED_CASTER(PassiveAggressiveClassifier)
KAVRO_CHECKED_CASTER(PassiveAggressiveRegressor)
KAVRO_CHECKED_CASTER(Perceptron)
KAVRO_CHECKED_CASTER(SoftmaxRegression)
KAVRO_CHECKED_CASTER(Accuracy)
KAVRO_CHECKED_CASTER(MacroBase)
KAVRO_CHECKED_CASTER(MacroPrecision)
KAVRO_CHECKED_CASTER(MacroRecall)
KAVRO_CHECKED_CASTER(MacroF1)
KAVRO_CHECKED_CASTER(MAE)
KAVRO_CHECKED_CASTER(RMSE)
KAVRO_CHECKED_CASTER(R2)
KAVRO_CHECKED_CASTER(WindowMetric)
KAVRO_CHECKED_CASTER(WindowRegressionMetric)
KAVRO_CHECKED_CASTER(KNNClassifier)
KAVRO_CHECKED_CASTER(KNNRegressor)
KAVRO_CHECKED_CASTER(ClassificationPipeline)
KAVRO_CHECKED_CASTER(RegressionPipeline)
KAVRO_CHECKED_CASTER(MaxAbsScaler)
KAVRO_CHECKED_CASTER(MinMaxScaler)
KAVRO_CHECKED_CASTER(SelectKBest)
KAVRO_CHECKED_CASTER(StandardScaler)
KAVRO_CHECKED_CASTER(VarianceThreshold)
KAVRO_CHECKED_CASTER(EFDTClassifier)
KAVRO_CHECKED_CASTER(FIMTDDRegressor)
KAVRO_CHECKED_CASTER(HoeffdingAdaptiveTreeClassifier)
KAVRO_CHECKED_CASTER(HoeffdingTreeClassifier)
KAVRO_CHECKED_CASTER(HoeffdingTreeRegressor)
KAVRO_CHECKED_CASTER(SGTClassifier)
}  // namespace pybind11::detail

#undef KAVRO_CHECKED_CASTER
