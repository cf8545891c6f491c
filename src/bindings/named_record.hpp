// Records that remember the Python key object of each entry, so that a record returned to
// Python can reuse the caller's key strings instead of decoding new ones.
#pragma once

#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "core/types.hpp"

namespace kavro::bindings {

// The converted record plus, when every key was an exact str, the key object behind each
// entry (borrowed from the argument dict, which the caller keeps alive during the call).
struct NamedRecord {
    using Entry = FeatureMap::value_type;

    FeatureMap map;
    std::vector<std::pair<const Entry*, PyObject*>> keys;  // insertion order
    bool named = false;  // every key an exact str, kept in `keys`
};

// A record returned to Python: entries of a named source (all of its map in its order, or
// the listed entries in the listed order), or a plain map converted as usual.
struct NamedResult {
    const NamedRecord* source = nullptr;
    const std::vector<const NamedRecord::Entry*>* entries = nullptr;
    FeatureMap plain;
};

// The whole record in its order (after an in-place transformation of its values, say).
NamedResult named_result(NamedRecord& x);
// The entries of x for which keep(name) holds, as a fresh map reserved for reserve_n and
// filled in x's order would hold them; fallback() builds that map when x has no key objects
// or the fresh map's bucket count differs from x's.
template <class Keep, class Fallback>
NamedResult named_selection(const NamedRecord& x, std::size_t reserve_n, Keep keep,
                            Fallback fallback);

// Bucket count of a fresh FeatureMap after reserve(n).
std::size_t reserved_bucket_count(std::size_t n);

// Scratch list of selected entries, reused from call to call.
std::vector<const NamedRecord::Entry*>& selection_scratch();

// Inserting x's entries in x's iteration order into a fresh map with the same bucket count
// reverses each bucket's run and the order of the runs: the fresh map iterates in exactly
// the reverse of x's order.
template <class Keep, class Fallback>
NamedResult named_selection(const NamedRecord& x, std::size_t reserve_n, Keep keep,
                            Fallback fallback) {
    NamedResult result;
    if (!x.named || reserved_bucket_count(reserve_n) != x.map.bucket_count()) {
        result.plain = fallback();
        return result;
    }
    auto& kept = selection_scratch();
    kept.clear();
    for (const auto& entry : x.map) {
        if (keep(entry.first)) kept.push_back(&entry);
    }
    std::reverse(kept.begin(), kept.end());
    result.source = &x;
    result.entries = &kept;
    return result;
}

}  // namespace kavro::bindings

namespace pybind11::detail {

// Converts exactly as the FeatureMap caster does: an exact dict whose keys are all exact str
// and whose values are exact float or int takes a direct path that records the key objects (in
// either pass of overload resolution: the FeatureMap caster takes such a dict in both); anything
// else goes through the FeatureMap caster itself.
template <>
struct type_caster<kavro::bindings::NamedRecord> {
    using MapCaster = make_caster<kavro::FeatureMap>;

    bool load(handle src, bool convert) {
        value.map.clear();
        value.keys.clear();
        value.named = false;
        if (PyDict_CheckExact(src.ptr()) && load_named(src.ptr())) {
            value.named = true;
            return true;
        }
        value.map.clear();
        value.keys.clear();
        MapCaster fallback;
        if (!fallback.load(src, convert)) return false;
        value.map = cast_op<kavro::FeatureMap&&>(std::move(fallback));
        return true;
    }

    PYBIND11_TYPE_CASTER(kavro::bindings::NamedRecord, MapCaster::name);

private:
    bool load_named(PyObject* dict) {
        value.map.reserve(static_cast<std::size_t>(PyDict_GET_SIZE(dict)));
        value.keys.reserve(static_cast<std::size_t>(PyDict_GET_SIZE(dict)));
        Py_ssize_t pos = 0;
        PyObject* key = nullptr;
        PyObject* item = nullptr;
        while (PyDict_Next(dict, &pos, &key, &item)) {
            if (!PyUnicode_CheckExact(key)) return false;
            double v;
            if (PyFloat_CheckExact(item)) {
                v = PyFloat_AS_DOUBLE(item);
            } else if (PyLong_CheckExact(item)) {
                v = PyLong_AsDouble(item);
                if (v == -1.0 && PyErr_Occurred()) {
                    PyErr_Clear();
                    return false;
                }
            } else {
                return false;
            }
            Py_ssize_t size = -1;
            const char* utf8 = PyUnicode_AsUTF8AndSize(key, &size);
            if (utf8 == nullptr) {
                PyErr_Clear();
                return false;
            }
            auto [it, inserted] =
                value.map.emplace(std::string(utf8, static_cast<std::size_t>(size)), v);
            if (inserted) value.keys.emplace_back(&*it, key);
        }
        return true;
    }
};

// Builds the dict entry by entry in the given order, like the FeatureMap caster, with the
// source's key objects.
template <>
struct type_caster<kavro::bindings::NamedResult> {
    static handle cast(const kavro::bindings::NamedResult& src, return_value_policy, handle);

    PYBIND11_TYPE_CASTER(kavro::bindings::NamedResult, make_caster<kavro::FeatureMap>::name);
};

}  // namespace pybind11::detail
