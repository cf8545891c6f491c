// Cells of a batch and the record of a row.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "core/types.hpp"

namespace kavro::batch {

// How the cells of a column are stored.
enum class CellType {
    Bool,
    Int8,
    Int16,
    Int32,
    Int64,
    UInt8,
    UInt16,
    UInt32,
    UInt64,
    Float16,
    Float32,
    Float64,
    LongDouble,
};

// A strided column of `rows` cells; stride in bytes, possibly negative.
struct Column {
    const char* data = nullptr;
    std::ptrdiff_t stride = 0;
    CellType type = CellType::Float64;
};

// IEEE binary16 to double: exact.
inline double half_to_double(std::uint16_t h) {
    const int exponent = (h >> 10) & 0x1f;
    const int mantissa = h & 0x3ff;
    double v;
    if (exponent == 0) {
        v = std::ldexp(static_cast<double>(mantissa), -24);
    } else if (exponent == 31) {
        v = mantissa != 0 ? std::nan("") : HUGE_VAL;
    } else {
        v = std::ldexp(static_cast<double>(mantissa + 1024), exponent - 25);
    }
    return (h & 0x8000) != 0 ? -v : v;
}

namespace detail {

template <class T>
inline T load(const char* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// Cells r = first ... first + n - 1 of c, written to out[r * step]. Integers
// convert correctly rounded and floats widen exactly (long double rounds to
// nearest): the double float() gives for the NumPy scalar.
template <class T>
inline void convert(const Column& c, std::size_t first, std::size_t n, double* out,
                    std::size_t step) {
    const char* p = c.data + static_cast<std::ptrdiff_t>(first) * c.stride;
    for (std::size_t r = 0; r < n; ++r, p += c.stride) out[r * step] = static_cast<double>(load<T>(p));
}

}  // namespace detail

// Rows first ... first + n - 1 of the columns, row-major into out (n * columns.size()).
inline void fill_rows(const std::vector<Column>& columns, std::size_t first, std::size_t n,
                      double* out) {
    const std::size_t step = columns.size();
    for (std::size_t j = 0; j < step; ++j) {
        const Column& c = columns[j];
        double* o = out + j;
        switch (c.type) {
            case CellType::Bool: {
                const char* p = c.data + static_cast<std::ptrdiff_t>(first) * c.stride;
                for (std::size_t r = 0; r < n; ++r, p += c.stride) o[r * step] = *p != 0 ? 1.0 : 0.0;
                break;
            }
            case CellType::Int8: detail::convert<std::int8_t>(c, first, n, o, step); break;
            case CellType::Int16: detail::convert<std::int16_t>(c, first, n, o, step); break;
            case CellType::Int32: detail::convert<std::int32_t>(c, first, n, o, step); break;
            case CellType::Int64: detail::convert<std::int64_t>(c, first, n, o, step); break;
            case CellType::UInt8: detail::convert<std::uint8_t>(c, first, n, o, step); break;
            case CellType::UInt16: detail::convert<std::uint16_t>(c, first, n, o, step); break;
            case CellType::UInt32: detail::convert<std::uint32_t>(c, first, n, o, step); break;
            case CellType::UInt64: detail::convert<std::uint64_t>(c, first, n, o, step); break;
            case CellType::Float16: {
                const char* p = c.data + static_cast<std::ptrdiff_t>(first) * c.stride;
                for (std::size_t r = 0; r < n; ++r, p += c.stride) {
                    o[r * step] = half_to_double(detail::load<std::uint16_t>(p));
                }
                break;
            }
            case CellType::Float32: detail::convert<float>(c, first, n, o, step); break;
            case CellType::Float64: detail::convert<double>(c, first, n, o, step); break;
            case CellType::LongDouble: detail::convert<long double>(c, first, n, o, step); break;
        }
    }
}

// The record of a row: a fresh map reserved for the row's non-NaN cells, which are
// then inserted in column order. This is what the dict conversion of the bindings
// builds from the dict of those cells, so the record iterates in the same order.
inline FeatureMap make_record(const double* row, const std::vector<std::string>& names) {
    const std::size_t n = names.size();
    std::size_t present = 0;
    for (std::size_t j = 0; j < n; ++j) present += std::isnan(row[j]) ? 0u : 1u;
    FeatureMap x;
    x.reserve(present);
    for (std::size_t j = 0; j < n; ++j) {
        if (!std::isnan(row[j])) x.emplace(names[j], row[j]);
    }
    return x;
}

}  // namespace kavro::batch
