#include "batch/inputs.hpp"

#include <cstdint>
#include <cstring>
#include <limits>
#include <thread>
#include <unordered_set>

#include <pybind11/numpy.h>

namespace kavro::batch {

namespace {

std::string dtype_name(const py::array& a) { return py::str(a.dtype()).cast<std::string>(); }

bool cell_type(const py::array& a, CellType& out) {
    const char kind = a.dtype().kind();
    const auto size = a.itemsize();
    switch (kind) {
        case 'b':
            if (size != 1) return false;
            out = CellType::Bool;
            return true;
        case 'i':
            if (size == 1) out = CellType::Int8;
            else if (size == 2) out = CellType::Int16;
            else if (size == 4) out = CellType::Int32;
            else if (size == 8) out = CellType::Int64;
            else return false;
            return true;
        case 'u':
            if (size == 1) out = CellType::UInt8;
            else if (size == 2) out = CellType::UInt16;
            else if (size == 4) out = CellType::UInt32;
            else if (size == 8) out = CellType::UInt64;
            else return false;
            return true;
        case 'f':
            if (size == 2) out = CellType::Float16;
            else if (size == 4) out = CellType::Float32;
            else if (size == 8) out = CellType::Float64;
            else if (size == static_cast<py::ssize_t>(sizeof(long double))) out = CellType::LongDouble;
            else return false;
            return true;
        default:
            return false;
    }
}

// A 1-D array of `rows` cells of a supported type, in native byte order.
Column read_column(const char* fn, py::handle h, std::size_t rows, const std::string& what,
                   py::object& owner) {
    if (!py::isinstance<py::array>(h)) {
        throw py::type_error(std::string(fn) + ": " + what + " must be a NumPy array (got " +
                             std::string(py::str(py::type::handle_of(h).attr("__name__"))) + ").");
    }
    auto a = py::reinterpret_borrow<py::array>(h);
    if (a.ndim() != 1) {
        throw py::value_error(std::string(fn) + ": " + what + " must be 1-D (got " +
                              std::to_string(a.ndim()) + "-D).");
    }
    if (static_cast<std::size_t>(a.shape(0)) != rows) {
        throw py::value_error(std::string(fn) + ": " + what + " has " + std::to_string(a.shape(0)) +
                              " values for " + std::to_string(rows) + " rows.");
    }
    Column c;
    if (!cell_type(a, c.type)) {
        throw py::type_error(std::string(fn) + ": " + what + " has dtype " + dtype_name(a) +
                             "; expected real, integer or bool numbers.");
    }
    if (!a.dtype().attr("isnative").cast<bool>()) {
        throw py::type_error(std::string(fn) + ": " + what + " has dtype " + dtype_name(a) +
                             ", which is not in native byte order.");
    }
    c.data = static_cast<const char*>(a.data());
    c.stride = a.strides(0);
    owner = a;
    return c;
}

std::string utf8_of(const char* fn, py::handle name, std::size_t j) {
    if (!PyUnicode_Check(name.ptr())) {
        throw py::type_error(std::string(fn) + ": feature name " + std::to_string(j) +
                             " must be a str (got " +
                             std::string(py::str(py::type::handle_of(name).attr("__name__"))) +
                             ").");
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(name.ptr(), &size);
    if (utf8 == nullptr) {
        PyErr_Clear();
        throw py::value_error(std::string(fn) + ": feature name " + std::to_string(j) +
                              " cannot be encoded as UTF-8.");
    }
    return std::string(utf8, static_cast<std::size_t>(size));
}

}  // namespace

Table read_table(const char* fn, py::handle columns, std::size_t rows, py::handle names) {
    if (!PyList_Check(columns.ptr()) || !PyList_Check(names.ptr())) {
        throw py::type_error(std::string(fn) + ": columns and names must be lists.");
    }
    auto cols = py::reinterpret_borrow<py::list>(columns);
    auto nms = py::reinterpret_borrow<py::list>(names);
    if (nms.size() != cols.size()) {
        throw py::value_error(std::string(fn) + ": " + std::to_string(nms.size()) +
                              " feature names for " + std::to_string(cols.size()) + " columns.");
    }
    Table t;
    t.rows = rows;
    t.names.reserve(nms.size());
    std::unordered_set<std::string> seen;
    for (std::size_t j = 0; j < nms.size(); ++j) {
        t.names.push_back(utf8_of(fn, nms[j], j));
        if (!seen.insert(t.names.back()).second) {
            throw py::value_error(std::string(fn) + ": feature name '" + t.names.back() +
                                  "' appears more than once (column " + std::to_string(j) + ").");
        }
    }
    t.columns.reserve(cols.size());
    t.owners.resize(cols.size());
    for (std::size_t j = 0; j < cols.size(); ++j) {
        const std::string what = "column " + std::to_string(j) + " ('" + t.names[j] + "')";
        t.columns.push_back(read_column(fn, cols[j], rows, what, t.owners[j]));
    }
    return t;
}

std::vector<ClassLabel> read_labels(const char* fn, py::handle y, std::size_t rows) {
    if (py::isinstance<py::array>(y)) {
        auto a = py::reinterpret_borrow<py::array>(y);
        const char kind = a.dtype().kind();
        if (kind != 'b' && kind != 'i' && kind != 'u') {
            throw py::type_error(std::string(fn) + ": class labels must be integers; y has dtype " +
                                 dtype_name(a) + ".");
        }
    }
    py::object owner;
    const Column c = read_column(fn, y, rows, "y", owner);
    constexpr auto lo = std::numeric_limits<ClassLabel>::min();
    constexpr auto hi = std::numeric_limits<ClassLabel>::max();
    std::vector<ClassLabel> labels(rows);
    const bool is_unsigned = c.type == CellType::UInt8 || c.type == CellType::UInt16 ||
                             c.type == CellType::UInt32 || c.type == CellType::UInt64;
    const char* p = c.data;
    for (std::size_t r = 0; r < rows; ++r, p += c.stride) {
        long long v = 0;
        unsigned long long u = 0;
        switch (c.type) {
            case CellType::Bool: v = *p != 0 ? 1 : 0; break;
            case CellType::Int8: v = detail::load<std::int8_t>(p); break;
            case CellType::Int16: v = detail::load<std::int16_t>(p); break;
            case CellType::Int32: v = detail::load<std::int32_t>(p); break;
            case CellType::Int64: v = detail::load<std::int64_t>(p); break;
            case CellType::UInt8: u = detail::load<std::uint8_t>(p); break;
            case CellType::UInt16: u = detail::load<std::uint16_t>(p); break;
            case CellType::UInt32: u = detail::load<std::uint32_t>(p); break;
            case CellType::UInt64: u = detail::load<std::uint64_t>(p); break;
            default: break;
        }
        const bool fits = is_unsigned ? u <= static_cast<unsigned long long>(hi) : (v >= lo && v <= hi);
        if (!fits) {
            throw py::value_error(std::string(fn) + ": y[" + std::to_string(r) + "] = " +
                                  (is_unsigned ? std::to_string(u) : std::to_string(v)) +
                                  " does not fit a 32-bit class label.");
        }
        labels[r] = static_cast<ClassLabel>(is_unsigned ? static_cast<long long>(u) : v);
    }
    return labels;
}

std::vector<double> read_values(const char* fn, py::handle y, std::size_t rows) {
    py::object owner;
    const Column c = read_column(fn, y, rows, "y", owner);
    std::vector<double> values(rows);
    if (rows > 0) fill_rows({c}, 0, rows, values.data());
    return values;
}

Model read_model(const char* fn, py::handle obj) {
    Model m;
    m.type_name = py::str(py::type::handle_of(obj).attr("__name__")).cast<std::string>();
    if (py::isinstance<IClassifier>(obj)) {
        m.classifier = obj.cast<std::shared_ptr<IClassifier>>();
    } else if (py::isinstance<IRegressor>(obj)) {
        m.regressor = obj.cast<std::shared_ptr<IRegressor>>();
    } else if (py::isinstance<ITransformer>(obj)) {
        m.transformer = obj.cast<std::shared_ptr<ITransformer>>();
    } else {
        throw py::type_error(std::string(fn) + ": expected a classifier, regressor or transformer (got " +
                             m.type_name + ").");
    }
    return m;
}

unsigned read_n_jobs(const char* fn, int n_jobs) {
    if (n_jobs >= 1) return static_cast<unsigned>(n_jobs);
    if (n_jobs == -1) {
        const unsigned cores = std::thread::hardware_concurrency();
        return cores == 0 ? 1u : cores;
    }
    throw py::value_error(std::string(fn) + ": n_jobs must be a positive number of threads or -1 "
                          "for every core (got " + std::to_string(n_jobs) + ").");
}

}  // namespace kavro::batch
