// Decimal text to double, correctly rounded, for the CSV engine.
#pragma once

#include <charconv>
#include <cstdint>
#include <system_error>

namespace kavro::io {

inline bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }
inline bool is_ascii_space(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Narrows p..e to the text between leading and trailing ASCII whitespace.
inline void trim_ascii_space(const char*& p, const char*& e) {
    while (p < e && is_ascii_space(static_cast<unsigned char>(*p))) ++p;
    while (e > p && is_ascii_space(static_cast<unsigned char>(e[-1]))) --e;
}

// Plain decimal syntax: [+-] (digits [. digits] | . digits) [(e|E) [+-] digits]. While it
// checks, it gathers the value as mantissa * 10^exp10; exact is left false when the digits do
// not fit a mantissa of at most 2^53.
struct Decimal {
    bool negative = false;
    bool exact = false;
    std::uint64_t mantissa = 0;
    std::int64_t exp10 = 0;
};

constexpr std::uint64_t kExactMantissa = std::uint64_t{1} << 53;

inline bool plain_decimal(const char* p, const char* end, Decimal& d) {
    if (p < end && (*p == '+' || *p == '-')) d.negative = *p++ == '-';
    std::uint64_t m = 0;  // wraps past 19 digits, which are not exact anyway
    const char* int_start = p;
    while (p < end && is_digit(*p)) m = m * 10 + static_cast<unsigned char>(*p++ - '0');
    std::int64_t n = p - int_start;
    std::int64_t fraction = 0;
    if (p < end && *p == '.') {
        const char* frac_start = ++p;
        while (p < end && is_digit(*p)) m = m * 10 + static_cast<unsigned char>(*p++ - '0');
        fraction = p - frac_start;
        n += fraction;
    }
    if (n == 0) return false;
    d.exact = n <= 19 && m <= kExactMantissa;
    d.mantissa = m;
    d.exp10 = -fraction;
    if (p < end && (*p == 'e' || *p == 'E')) {
        ++p;
        bool minus = false;
        if (p < end && (*p == '+' || *p == '-')) minus = *p++ == '-';
        const char* exp_start = p;
        std::int64_t e = 0;
        for (; p < end && is_digit(*p); ++p) {
            if (e < 100000) e = e * 10 + (*p - '0');
        }
        if (p == exp_start) return false;
        d.exp10 += minus ? -e : e;
    }
    return p == end;
}

// Exact powers of ten in a double.
constexpr double kPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                             1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// The correctly rounded value when one IEEE operation on exact operands gives it: a mantissa
// of at most 2^53 times or over an exact power of ten (at most 10^22).
inline bool exact_decimal(const Decimal& d, double& out) {
    if (!d.exact || d.exp10 < -22 || d.exp10 > 22) return false;
    const auto m = static_cast<double>(d.mantissa);
    const double v = d.exp10 < 0 ? m / kPow10[-d.exp10] : m * kPow10[d.exp10];
    out = d.negative ? -v : v;
    return true;
}

// The value of plain decimal text p..end (no surrounding space), correctly rounded; false when
// it is not plain decimal syntax or lies outside the double range.
inline bool decimal_value(const char* p, const char* end, double& out) {
    Decimal d;
    if (!plain_decimal(p, end, d)) return false;
    if (exact_decimal(d, out)) return true;
    const char* q = (*p == '+') ? p + 1 : p;
    const auto r = std::from_chars(q, end, out);
    return r.ec == std::errc() && r.ptr == end;
}

}  // namespace kavro::io
