// The CSV engine: a source (a path, plain or gzip'd, a pipe, a FIFO, stdin) read once, its
// header handed to the caller, then its plain lines tokenised and converted into blocks on a
// thread of their own. The blocks go to the native loop as they are, or out as arrays.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <pybind11/pybind11.h>

namespace kavro::io {

enum class TargetKind { kFloat, kInt, kLabel };

// One block of rows: row-major feature cells (NaN = absent) and the targets.
struct CsvBlock {
    std::size_t rows = 0;
    std::size_t width = 0;            // feature columns
    TargetKind kind = TargetKind::kFloat;
    std::unique_ptr<double[]> X;      // capacity rows, the first `rows` set
    std::vector<double> y_float;      // kFloat
    std::vector<std::int64_t> y_int;  // kInt: the integers; kLabel: codes of the raw texts
    std::vector<std::string> fresh;   // kLabel: raw texts first seen in this block, in code order
    std::vector<std::int64_t> lines;  // the line number of each row (the header is line 1)
};

// The target value of each label code, as the caller converted the raw texts.
class LabelTable {
public:
    // Appends the value of the next code: an int or a float (anything else marks the table
    // as not native: its rows go through Python).
    void append(pybind11::handle value);
    std::size_t size() const { return values_.size(); }
    // Every value an integer of 32 bits (class labels), every value a number (real targets).
    bool labels() const { return labels_; }
    bool numbers() const { return numbers_; }
    double value(std::int64_t code) const { return values_[static_cast<std::size_t>(code)]; }
    std::int64_t integer(std::int64_t code) const { return ints_[static_cast<std::size_t>(code)]; }

private:
    std::vector<double> values_;
    std::vector<std::int64_t> ints_;
    bool labels_ = true;
    bool numbers_ = true;
};

void bind_csv_engine(pybind11::module_& m);

// The block of a CsvBlock object (TypeError for anything else).
std::shared_ptr<CsvBlock> block_of(pybind11::handle h);

}  // namespace kavro::io
