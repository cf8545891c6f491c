// Cells of a batch and the record of a row.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
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
class RecordBuilder {
public:
    explicit RecordBuilder(const std::vector<std::string>& names)
        : names_(names), present_(names.size(), 0), values_(names.size(), nullptr) {}

    FeatureMap build(const double* row) const {
        const std::size_t n = names_.size();
        std::size_t count = 0;
        for (std::size_t j = 0; j < n; ++j) count += std::isnan(row[j]) ? 0u : 1u;
        FeatureMap x;
        x.reserve(count);
        for (std::size_t j = 0; j < n; ++j) {
            if (!std::isnan(row[j])) x.emplace(names_[j], row[j]);
        }
        return x;
    }

    // The record of a row, valid until the next call. When the row has its cells
    // absent in the same columns as the previous row, the previous record is refilled
    // in place: it holds the same keys in the same buckets and order as a fresh build
    // would, so only the values need writing.
    const FeatureMap& next(const double* row) {
        const std::size_t n = names_.size();
        bool same = built_;
        for (std::size_t j = 0; j < n && same; ++j) same = present_[j] == (std::isnan(row[j]) ? 0 : 1);
        if (same) {
            for (std::size_t j = 0; j < n; ++j) {
                if (values_[j] != nullptr) *values_[j] = row[j];
            }
            return record_;
        }
        record_ = build(row);
        for (std::size_t j = 0; j < n; ++j) {
            present_[j] = std::isnan(row[j]) ? 0 : 1;
            values_[j] = present_[j] != 0 ? &record_.find(names_[j])->second : nullptr;
        }
        built_ = true;
        return record_;
    }

private:
    const std::vector<std::string>& names_;
    FeatureMap record_;
    bool built_ = false;
    std::vector<char> present_;  // by column: present in record_
    std::vector<double*> values_;  // by column: its value in record_
};

}  // namespace kavro::batch
