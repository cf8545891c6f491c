// kavro._native: the catalogue and its classes outside _kavro_core, saved states, batch entry
// points and the native evaluation loop.
#include <string>
#include <string_view>
#include <vector>

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "bindings/checked_types.hpp"
#include "bindings/python_signals.hpp"
#include "catalog/catalog.hpp"
#include "anomaly/bind_score_many.hpp"
#include "batch/bind_batch.hpp"
#include "keyed/bind_keyed.hpp"
#include "state/registry.hpp"

namespace py = pybind11;

namespace {

std::string_view bytes_view(const py::bytes& data) {
    char* p = nullptr;
    Py_ssize_t n = 0;
    if (PyBytes_AsStringAndSize(data.ptr(), &p, &n) != 0) throw py::error_already_set();
    return std::string_view(p, static_cast<std::size_t>(n));
}

}  // namespace

PYBIND11_MODULE(_native, m) {
    m.doc() = "The catalogue's classes outside _kavro_core, saved states and batch entry points.";
    py::module_::import("_kavro_core");
    kavro::bindings::install_interrupt_check();
    namespace cat = kavro::catalog;
    m.def(
        "catalog",
        [] {
            py::list out;
            for (const auto& e : cat::entries()) {
                out.append(py::make_tuple(e.name, e.family, e.kind, e.summary,
                                          e.core ? "_kavro_core" : "kavro._native"));
            }
            return out;
        },
        "Every class: (name, family, kind, summary, module), core classes first.");
    cat::bind_classes(m);
    kavro::bindings::refuse_second_init(m);
    namespace st = kavro::state;

    m.attr("FORMAT_VERSION") = st::kFormatVersion;
    m.def("dumps", [](py::handle obj) { return py::bytes(st::dump(obj, false, nullptr)); },
          py::arg("obj"), "The saved form of obj, with every object it holds written in full.");
    m.def(
        "dumps_external",
        [](py::handle obj) {
            std::vector<py::object> externals;
            std::string data = st::dump(obj, true, &externals);
            py::list parts;
            for (auto& e : externals) parts.append(e);
            return py::make_tuple(py::bytes(data), parts);
        },
        py::arg("obj"),
        "(saved form, parts): objects obj holds through interfaces (pipeline steps and learner) "
        "are listed in parts instead of being written.");
    m.def(
        "loads",
        [](const py::bytes& data, const std::string& expected, std::vector<py::object> parts) {
            return st::load(bytes_view(data), expected, std::move(parts));
        },
        py::arg("data"), py::arg("expected") = std::string(),
        py::arg("parts") = std::vector<py::object>(),
        "The object a saved form holds; expected: the class it must be ('' for any).");
    m.def("describe", &st::describe, py::arg("obj"), "The state of obj as plain Python data.");
    m.def("header", [](const py::bytes& data) { return st::header(bytes_view(data)); },
          py::arg("data"), "Class, format version and library version of a saved form.");
    m.def(
        "class_names",
        [] {
            std::vector<std::string> names;
            for (const auto& e : st::registry().entries()) names.push_back(e.name);
            return names;
        },
        "Names of the classes that have a saved form.");
    m.def(
        "crc32",
        [](const py::bytes& data) {
            auto v = bytes_view(data);
            return st::crc32(reinterpret_cast<const unsigned char*>(v.data()), v.size());
        },
        py::arg("data"), "CRC-32 of data, as the state format computes it.");

    kavro::native::bind_batch(m);
    kavro::native::bind_keyed(m);
    kavro::native::bind_score_many(m);
}
