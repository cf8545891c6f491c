// kavro._native: saved states of the objects of _kavro_core, and batch entry points.
#include <string>
#include <string_view>
#include <vector>

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "bindings/python_signals.hpp"
#include "native/native.hpp"
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
    m.doc() = "Saved states and batch entry points for the objects of _kavro_core.";
    py::module_::import("_kavro_core");
    kavro::bindings::install_interrupt_check();  // for the objects this module's copy builds
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
}
