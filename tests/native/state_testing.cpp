// Test-only access to the state archives: hash tables with a given history, saved and restored.
#include <cstdint>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "state/archive.hpp"

namespace py = pybind11;

namespace {

// Applies ops to a table: ("insert", key), ("erase", key), ("reserve", n), ("clear", 0),
// ("rehash", n). Keys are strings, or integers when `int_keys`.
template <class Map, class Key>
void apply(Map& m, const std::vector<std::pair<std::string, std::int64_t>>& ops, Key (*key)(std::int64_t)) {
    double v = 0.0;
    for (const auto& [op, arg] : ops) {
        if (op == "insert") {
            m.emplace(key(arg), v += 1.0);
        } else if (op == "erase") {
            m.erase(key(arg));
        } else if (op == "reserve") {
            m.reserve(static_cast<std::size_t>(arg));
        } else if (op == "rehash") {
            m.rehash(static_cast<std::size_t>(arg));
        } else if (op == "clear") {
            m.clear();
        } else {
            throw std::invalid_argument("unknown op " + op);
        }
    }
}

std::string str_key(std::int64_t k) { return "f" + std::to_string(k); }
std::int32_t int_key(std::int64_t k) { return static_cast<std::int32_t>(k); }

template <class Map>
py::list order(const Map& m) {
    py::list out;
    for (const auto& kv : m) out.append(py::make_tuple(kv.first, kv.second));
    return out;
}

// Builds a table from `history`, saves and restores it, then applies `after` to both.
// Returns (bucket counts before, orders before, bucket counts after, orders after) of the
// original and the restored table.
template <class Map, class Key>
py::tuple roundtrip(const std::vector<std::pair<std::string, std::int64_t>>& history,
                    const std::vector<std::pair<std::string, std::int64_t>>& after,
                    Key (*key)(std::int64_t)) {
    Map original;
    apply(original, history, key);
    kavro::state::Writer w;
    kavro::state::io(w, original);
    Map restored;
    kavro::state::Reader r(reinterpret_cast<const unsigned char*>(w.out.data()), w.out.size());
    kavro::state::io(r, restored);
    if (r.remaining() != 0) throw std::runtime_error("bytes left over");
    py::tuple before = py::make_tuple(original.bucket_count(), restored.bucket_count(),
                                      order(original), order(restored));
    apply(original, after, key);
    apply(restored, after, key);
    py::tuple later = py::make_tuple(original.bucket_count(), restored.bucket_count(),
                                     order(original), order(restored));
    return py::make_tuple(before, later);
}

}  // namespace

void bind_state_testing(py::module_& m) {
    m.def("table_roundtrip_str", [](const std::vector<std::pair<std::string, std::int64_t>>& h,
                                    const std::vector<std::pair<std::string, std::int64_t>>& a) {
        return roundtrip<std::unordered_map<std::string, double>>(h, a, &str_key);
    });
    m.def("table_roundtrip_int", [](const std::vector<std::pair<std::string, std::int64_t>>& h,
                                    const std::vector<std::pair<std::string, std::int64_t>>& a) {
        return roundtrip<std::unordered_map<std::int32_t, double>>(h, a, &int_key);
    });
    m.def("valid_bucket_count", &kavro::state::valid_bucket_count);
}
