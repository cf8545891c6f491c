// Every bound class is loaded from Python through a caster that refuses objects
// whose C++ value was never constructed (made by __new__ without __init__), so a
// method, property or argument never reaches unconstructed memory. None and
// objects of other types fail to load, which pybind11 reports as TypeError.
// Included by every binding source before any class is used with pybind11.
#pragma once

#include <memory>

#include <pybind11/pybind11.h>

#include "core/interfaces.hpp"

// Every catalogued class (and the one shared base of the macro metrics).
namespace kavro {
class MacroBase;
#define KAVRO_CORE(T, name, family, kind, summary) class T;
#define KAVRO_CLASS(T, family, kind, summary) class T;
#include "catalog/classes.def"
#undef KAVRO_CORE
#undef KAVRO_CLASS
}  // namespace kavro

namespace kavro::bindings {

// Whether src is an instance of a bound class whose C++ object has been constructed.
// Objects of other types count as constructed (they are refused by type, not here).
bool holds_constructed_value(pybind11::handle src);

// Throws TypeError "<Class> object is not initialised (was __init__ called?)" when
// src is an instance of a bound class that holds no constructed object.
void require_constructed(pybind11::handle src);

// Wraps __init__ of every bound class of m so that calling it on a constructed object
// raises TypeError (pybind11 would silently ignore it).
void refuse_second_init(pybind11::module_& m);

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
KAVRO_CHECKED_CASTER(IAnomalyDetector)
KAVRO_CHECKED_CASTER(IDriftDetector)
KAVRO_CHECKED_CASTER(IClassificationMetric)
KAVRO_CHECKED_CASTER(IRegressionMetric)
KAVRO_CHECKED_CASTER(MacroBase)
#define KAVRO_CORE(T, name, family, kind, summary) KAVRO_CHECKED_CASTER(T)
#define KAVRO_CLASS(T, family, kind, summary) KAVRO_CHECKED_CASTER(T)
#include "catalog/classes.def"
#undef KAVRO_CORE
#undef KAVRO_CLASS
}  // namespace pybind11::detail

#undef KAVRO_CHECKED_CASTER
