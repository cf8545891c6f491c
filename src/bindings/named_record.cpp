#include "bindings/named_record.hpp"

namespace kavro::bindings {

namespace {

using pybind11::handle;
using pybind11::object;
using pybind11::reinterpret_steal;
using pybind11::return_value_policy;
using pybind11::detail::make_caster;

// Open-addressed table from entry address to key object, rebuilt for each result.
class KeyTable {
public:
    void build(const std::vector<std::pair<const NamedRecord::Entry*, PyObject*>>& keys) {
        std::size_t capacity = 16;
        shift_ = 60;
        while (capacity < 2 * keys.size()) {
            capacity *= 2;
            --shift_;
        }
        mask_ = capacity - 1;
        slots_.assign(capacity, {nullptr, nullptr});
        for (const auto& kv : keys) {
            std::size_t i = slot(kv.first);
            while (slots_[i].first != nullptr) i = (i + 1) & mask_;
            slots_[i] = kv;
        }
    }

    PyObject* find(const NamedRecord::Entry* entry) const {
        for (std::size_t i = slot(entry);; i = (i + 1) & mask_) {
            if (slots_[i].first == entry) return slots_[i].second;
            if (slots_[i].first == nullptr) return nullptr;
        }
    }

private:
    std::size_t slot(const void* p) const {
        return static_cast<std::size_t>(
            (reinterpret_cast<std::uintptr_t>(p) * 0x9E3779B97F4A7C15ull) >> shift_);
    }

    std::vector<std::pair<const NamedRecord::Entry*, PyObject*>> slots_;
    std::size_t mask_ = 0;
    int shift_ = 60;
};

bool set_entry(PyObject* dict, PyObject* key, const NamedRecord::Entry& entry) {
    object decoded;
    if (key == nullptr) {  // not from the source record: convert the name as usual
        decoded = reinterpret_steal<object>(
            make_caster<std::string>::cast(entry.first, return_value_policy::copy, handle()));
        if (!decoded) return false;
        key = decoded.ptr();
    }
    PyObject* value = PyFloat_FromDouble(entry.second);
    if (value == nullptr) return false;
    const int rc = PyDict_SetItem(dict, key, value);
    Py_DECREF(value);
    return rc == 0;
}

}  // namespace

NamedResult named_result(NamedRecord& x) {
    NamedResult result;
    if (x.named) {
        result.source = &x;
    } else {
        result.plain = std::move(x.map);
    }
    return result;
}

std::size_t reserved_bucket_count(std::size_t n) {
    static std::vector<std::size_t> cache;
    if (n < cache.size() && cache[n] != 0) return cache[n];
    FeatureMap fresh;
    fresh.reserve(n);
    const std::size_t count = fresh.bucket_count();
    if (n < 4096) {
        if (n >= cache.size()) cache.resize(n + 1, 0);
        cache[n] = count;
    }
    return count;
}

std::vector<const NamedRecord::Entry*>& selection_scratch() {
    static std::vector<const NamedRecord::Entry*> scratch;
    return scratch;
}

}  // namespace kavro::bindings

namespace pybind11::detail {

handle type_caster<kavro::bindings::NamedResult>::cast(const kavro::bindings::NamedResult& src,
                                                       return_value_policy policy,
                                                       handle parent) {
    if (src.source == nullptr) {
        return make_caster<kavro::FeatureMap>::cast(src.plain, policy, parent);
    }
    static kavro::bindings::KeyTable table;
    table.build(src.source->keys);
    PyObject* dict = PyDict_New();
    if (dict == nullptr) return handle();
    auto add = [&](const kavro::bindings::NamedRecord::Entry* entry) {
        return kavro::bindings::set_entry(dict, table.find(entry), *entry);
    };
    bool ok = true;
    if (src.entries == nullptr) {
        for (const auto& entry : src.source->map) {
            if (!(ok = add(&entry))) break;
        }
    } else {
        for (const auto* entry : *src.entries) {
            if (!(ok = add(entry))) break;
        }
    }
    if (!ok) {
        Py_DECREF(dict);
        return handle();
    }
    return dict;
}

}  // namespace pybind11::detail
