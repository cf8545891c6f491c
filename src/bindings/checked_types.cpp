#include "bindings/checked_types.hpp"

#include <string>

namespace kavro::bindings {

namespace py = pybind11;

namespace {

bool is_bound_instance(py::handle src) {
    auto* base = reinterpret_cast<PyTypeObject*>(py::detail::get_internals().instance_base);
    return PyObject_TypeCheck(src.ptr(), base) != 0;
}

std::string class_name(py::handle src) {
    return py::str(py::type::handle_of(src).attr("__name__")).cast<std::string>();
}

}  // namespace

bool holds_constructed_value(py::handle src) {
    if (!is_bound_instance(src)) return true;
    auto* inst = reinterpret_cast<py::detail::instance*>(src.ptr());
    if (inst->simple_layout) return inst->simple_holder_constructed;
    for (auto v_h : py::detail::values_and_holders(inst)) {
        if (!v_h.holder_constructed()) return false;
    }
    return true;
}

void require_constructed(py::handle src) {
    if (!holds_constructed_value(src)) {
        throw py::type_error(class_name(src) + " object is not initialised (was __init__ called?)");
    }
}

}  // namespace kavro::bindings
