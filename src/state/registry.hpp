// The table of every class whose state can be saved: its Python name, its C++ type and the
// three walks of its visit. Each family registers its classes in its own register_*.cpp.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <typeinfo>
#include <vector>

#include <pybind11/pybind11.h>

#include "core/interfaces.hpp"
#include "state/archive.hpp"

namespace kavro::state {

struct ClassEntry {
    std::string name;
    const std::type_info* type = nullptr;
    void (*write)(Writer&, void*) = nullptr;
    std::shared_ptr<void> (*read)(Reader&) = nullptr;
    void (*describe)(Describer&, void*) = nullptr;
    py::object (*to_python)(const std::shared_ptr<void>&) = nullptr;
    // The object behind a Python instance of this exact class; throws TypeError when it has
    // no constructed object.
    void* (*from_python)(py::handle) = nullptr;
    std::shared_ptr<void> (*shared_from_python)(py::handle) = nullptr;
    // Upcasts of a read object to the interfaces it implements (null when it does not).
    std::shared_ptr<ITransformer> (*as_transformer)(const std::shared_ptr<void>&) = nullptr;
    std::shared_ptr<IClassifier> (*as_classifier)(const std::shared_ptr<void>&) = nullptr;
    std::shared_ptr<IRegressor> (*as_regressor)(const std::shared_ptr<void>&) = nullptr;
    std::shared_ptr<IAnomalyDetector> (*as_anomaly)(const std::shared_ptr<void>&) = nullptr;
    std::shared_ptr<IDriftDetector> (*as_drift)(const std::shared_ptr<void>&) = nullptr;
    std::shared_ptr<IClassificationMetric> (*as_label_measure)(const std::shared_ptr<void>&) = nullptr;
    std::shared_ptr<IRegressionMetric> (*as_value_measure)(const std::shared_ptr<void>&) = nullptr;
};

class Registry {
public:
    template <class T>
    void add(const char* name);

    const std::vector<ClassEntry>& entries() const { return entries_; }
    const ClassEntry* find(const std::string& name) const;
    const ClassEntry* find(const std::type_info& type) const;

private:
    std::vector<ClassEntry> entries_;
};

// Every class, filled once: the core's by the register_* functions, then the catalogue's
// classes of kavro._native.
const Registry& registry();

// One per family; each adds its classes.
void register_linear(Registry& r);
void register_neighbors(Registry& r);
void register_tree_classifiers(Registry& r);
void register_tree_regressors(Registry& r);
void register_ensemble_classifiers(Registry& r);
void register_ensemble_regressors(Registry& r);
void register_preprocessing(Registry& r);
void register_pipeline(Registry& r);
void register_metrics(Registry& r);
void register_drift(Registry& r);

namespace detail {

template <class Interface, class T>
std::shared_ptr<Interface> upcast(const std::shared_ptr<void>& p) {
    if constexpr (std::is_base_of_v<Interface, T>) {
        return std::static_pointer_cast<T>(p);
    } else {
        return nullptr;
    }
}

// Constructed object behind a pybind11 instance, or TypeError.
void* instance_value(py::handle obj, const std::type_info& type);

}  // namespace detail

template <class T>
void Registry::add(const char* name) {
    ClassEntry e;
    e.name = name;
    e.type = &typeid(T);
    e.write = [](Writer& w, void* obj) { io_struct(w, *static_cast<T*>(obj)); };
    e.read = [](Reader& r) -> std::shared_ptr<void> {
        std::shared_ptr<T> obj(Construct<T>::make_unique());
        io_struct(r, *obj);
        return obj;
    };
    e.describe = [](Describer& d, void* obj) { io_struct(d, *static_cast<T*>(obj)); };
    e.to_python = [](const std::shared_ptr<void>& p) -> py::object {
        return py::cast(std::static_pointer_cast<T>(p));
    };
    e.from_python = [](py::handle obj) -> void* {
        return detail::instance_value(obj, typeid(T));
    };
    e.shared_from_python = [](py::handle obj) -> std::shared_ptr<void> {
        detail::instance_value(obj, typeid(T));
        return obj.cast<std::shared_ptr<T>>();
    };
    e.as_transformer = &detail::upcast<ITransformer, T>;
    e.as_classifier = &detail::upcast<IClassifier, T>;
    e.as_regressor = &detail::upcast<IRegressor, T>;
    e.as_anomaly = &detail::upcast<IAnomalyDetector, T>;
    e.as_drift = &detail::upcast<IDriftDetector, T>;
    e.as_label_measure = &detail::upcast<IClassificationMetric, T>;
    e.as_value_measure = &detail::upcast<IRegressionMetric, T>;
    entries_.push_back(std::move(e));
}

// ---------------------------------------------------------------------------
// Objects held through an interface pointer (a pipeline's steps and learner).
//
// Written as a tag byte: 0 an object written here in full (class name, then its state),
// 1 a reference to an object met earlier in the same state (by index), 2 an object kept
// outside the state (by index into the list the caller passes, as pickle does).

class Codec : public ObjectCodec {
public:
    // external: objects met are kept in `externals` instead of being written in full.
    explicit Codec(bool external) : external_(external) {}
    Codec(bool external, std::vector<py::object> externals)
        : external_(external), externals_(std::move(externals)) {}

    void write_ref(Writer& w, const void* most_derived, const std::type_info& type) override;
    void write_external(Writer& w, py::object obj);
    bool external() const { return external_; }
    std::shared_ptr<void> read_ref(Reader& r, std::string& class_name) override;
    py::object describe_ref(const void* most_derived, const std::type_info& type) override;

    const std::vector<py::object>& externals() const { return externals_; }
    bool all_externals_used() const { return used_externals_ == externals_.size(); }

private:
    bool external_;
    std::vector<py::object> externals_;
    std::size_t used_externals_ = 0;
    std::vector<const void*> written_;
    std::vector<std::pair<std::shared_ptr<void>, const ClassEntry*>> read_;
};

template <class Interface>
std::shared_ptr<Interface> interface_of(const ClassEntry& e, const std::shared_ptr<void>& p) {
    if constexpr (std::is_same_v<Interface, ITransformer>) {
        return e.as_transformer(p);
    } else if constexpr (std::is_same_v<Interface, IClassifier>) {
        return e.as_classifier(p);
    } else if constexpr (std::is_same_v<Interface, IRegressor>) {
        return e.as_regressor(p);
    } else if constexpr (std::is_same_v<Interface, IAnomalyDetector>) {
        return e.as_anomaly(p);
    } else {
        static_assert(std::is_same_v<Interface, IDriftDetector>);
        return e.as_drift(p);
    }
}

template <class Ar, class Interface>
void io_object_ref(Ar& ar, std::shared_ptr<Interface>& p) {
    if constexpr (Ar::mode == Mode::write) {
        if (!p) throw std::invalid_argument("cannot save a missing pipeline part");
        auto* codec = static_cast<Codec*>(ar.codec);
        if (codec->external()) {
            codec->write_external(ar, py::cast(p));
        } else {
            codec->write_ref(ar, dynamic_cast<const void*>(p.get()), typeid(*p));
        }
    } else if constexpr (Ar::mode == Mode::read) {
        std::string name;
        std::shared_ptr<void> obj = ar.codec->read_ref(ar, name);
        const ClassEntry* e = registry().find(name);
        auto typed = e ? interface_of<Interface>(*e, obj) : nullptr;
        ar.require(typed != nullptr, "a pipeline part is not of the kind its place requires");
        p = std::move(typed);
    } else {
        if (!p) {
            ar.result = py::none();
            return;
        }
        Nested<Ar> guard(ar);
        ar.result = ar.codec->describe_ref(dynamic_cast<const void*>(p.get()), typeid(*p));
    }
}

// ---------------------------------------------------------------------------
// The saved form of one object: header, payload, checksum (docs/state-format.md).

constexpr std::uint32_t kFormatVersion = 1;

// The saved form of obj; external: objects held through interfaces are returned in
// `externals` instead of being written.
std::string dump(py::handle obj, bool external, std::vector<py::object>* externals);
// The object a saved form holds; `expected` (when not empty) is the class it must be.
py::object load(std::string_view data, const std::string& expected,
                std::vector<py::object> externals);
// Plain Python data of obj's state.
py::object describe(py::handle obj);
// Class name, format version and library version of a saved form, without reading the
// payload (it is still checked).
py::dict header(std::string_view data);

std::uint32_t crc32(const unsigned char* data, std::size_t n);

}  // namespace kavro::state
