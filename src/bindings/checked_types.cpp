#include "bindings/checked_types.hpp"

#include <cstdlib>
#include <cstring>
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

// pybind11 silently ignores __init__ on an object that is already constructed.
// Each class's __init__ is wrapped so that such a call raises TypeError instead;
// the wrapper shows the original's docstring (its signature included).
void refuse_second_init(py::module_& m) {
    for (auto item : py::reinterpret_borrow<py::dict>(m.attr("__dict__"))) {
        py::handle cls = item.second;
        if (!PyType_Check(cls.ptr()) ||
            py::detail::all_type_info(reinterpret_cast<PyTypeObject*>(cls.ptr())).empty()) {
            continue;
        }
        PyObject* own = PyDict_GetItemString(reinterpret_cast<PyTypeObject*>(cls.ptr())->tp_dict,
                                              "__init__");
        if (own == nullptr) continue;  // abstract interface: no constructor
        py::object original = py::reinterpret_borrow<py::object>(own);
        const std::string name = py::str(cls.attr("__name__")).cast<std::string>();
        py::object cls_object = py::reinterpret_borrow<py::object>(cls);
        py::cpp_function guarded(
            [original, cls_object, name](py::handle self, py::args args, py::kwargs kwargs) {
                if (py::isinstance(self, cls_object) && holds_constructed_value(self)) {
                    throw py::type_error(name +
                                         " object is already initialised; create a new object "
                                         "instead of calling __init__ again.");
                }
                original(self, *args, **kwargs);
            },
            // Named "__init__" at creation, pybind11 would treat it as a constructor and
            // skip it on a constructed object; the name is given afterwards.
            py::name("guarded_init"), py::is_method(cls));
        const std::string doc = py::str(original.attr("__doc__")).cast<std::string>();
        auto* func = reinterpret_cast<PyCFunctionObject*>(PyInstanceMethod_GET_FUNCTION(guarded.ptr()));
        std::free(const_cast<char*>(func->m_ml->ml_doc));
        func->m_ml->ml_doc = strdup(doc.c_str());
        func->m_ml->ml_name = "__init__";
        py::setattr(cls, "__init__", guarded);
    }
}

}  // namespace kavro::bindings
