// The arguments of the batch entry points, checked and read before any row is used.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include <pybind11/pybind11.h>

#include "batch/record.hpp"
#include "core/interfaces.hpp"

namespace kavro::batch {

namespace py = pybind11;

// The cells of a batch: `rows` rows, one named column per feature.
struct Table {
    std::size_t rows = 0;
    std::vector<Column> columns;
    std::vector<std::string> names;
    std::vector<py::object> owners;  // the arrays the columns point into
};

// columns: a list of 1-D NumPy arrays of `rows` real, integer or bool cells each;
// names: one distinct str per column. Throws ValueError / TypeError naming the
// function `fn` and the offending column.
Table read_table(const char* fn, py::handle columns, std::size_t rows, py::handle names);

// A 1-D NumPy array of `rows` targets. Class labels must be integers (or bool)
// that fit 32 bits; values may be any real, integer or bool numbers.
std::vector<ClassLabel> read_labels(const char* fn, py::handle y, std::size_t rows);
std::vector<double> read_values(const char* fn, py::handle y, std::size_t rows);

// The object behind one of the three family interfaces (exactly one is set).
struct Model {
    std::shared_ptr<IClassifier> classifier;
    std::shared_ptr<IRegressor> regressor;
    std::shared_ptr<ITransformer> transformer;
    std::string type_name;
};

Model read_model(const char* fn, py::handle obj);

// Number of threads for n_jobs: n_jobs itself when positive, every core for -1.
unsigned read_n_jobs(const char* fn, int n_jobs);

}  // namespace kavro::batch
