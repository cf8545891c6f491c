// Plain-words argument errors and warnings about unrecognised option strings, installed on
// every bound class at module initialisation.
//
// Argument errors: each bound function (methods, constructors, attribute setters) gets one more
// overload taking any arguments. Its first argument loads only when conversions are allowed, so
// pybind11 tries it last, after the real overloads failed with conversions; it then raises the
// TypeError pybind11 would have raised, with a first line saying which argument is wrong, what
// was expected and what was given. The happy path is unchanged: the real overload runs first.
//
// Option warnings: the string options and their accepted values are listed in one table.
// Another value still selects the default behaviour, but constructors and attribute writes warn
// (UserWarning) naming it and the accepted values.
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <pybind11/pybind11.h>

#include "bindings/bindings.hpp"
#include "bindings/checked_types.hpp"

namespace kavro::bindings {

// The first argument of a catch-all overload: loads any object, but only when conversions are
// allowed (pybind11's second pass), so the real overloads are always tried before it.
struct DeferredArgument {
    py::object value;
};

}  // namespace kavro::bindings

namespace pybind11::detail {
template <>
struct type_caster<kavro::bindings::DeferredArgument> {
    PYBIND11_TYPE_CASTER(kavro::bindings::DeferredArgument, const_name("object"));
    bool load(handle src, bool convert) {
        if (!convert) return false;
        value.value = reinterpret_borrow<object>(src);
        return true;
    }
    static handle cast(const kavro::bindings::DeferredArgument& v, return_value_policy, handle) {
        return v.value.inc_ref();
    }
};
}  // namespace pybind11::detail

namespace kavro::bindings {

namespace {

// ---------------------------------------------------------------------------------------------
// Signatures, as pybind11 writes them in docstrings: "name(a: type = default, ...) -> result"

struct Parameter {
    std::string name;
    std::string type;  // empty when not annotated
    bool has_default = false;
};

struct Signature {
    std::string text;  // "(...) -> result"
    std::vector<Parameter> params;
};

// Splits at top-level commas (not inside brackets or quotes).
std::vector<std::string> split_top_level(const std::string& s) {
    std::vector<std::string> out;
    int depth = 0;
    char quote = 0;
    std::string cur;
    for (char c : s) {
        if (quote) {
            if (c == quote) quote = 0;
        } else if (c == '\'' || c == '"') {
            quote = c;
        } else if (c == '[' || c == '(' || c == '{') {
            ++depth;
        } else if (c == ']' || c == ')' || c == '}') {
            --depth;
        } else if (c == ',' && depth == 0) {
            out.push_back(cur);
            cur.clear();
            continue;
        }
        cur += c;
    }
    if (!cur.empty()) out.push_back(cur);
    return out;
}

std::string trim(const std::string& s) {
    const auto a = s.find_first_not_of(" \n");
    if (a == std::string::npos) return "";
    return s.substr(a, s.find_last_not_of(" \n") - a + 1);
}

// The signatures of `name` in a pybind11 docstring (one per overload).
std::vector<Signature> parse_signatures(const std::string& doc, const std::string& name) {
    std::vector<Signature> out;
    if (!doc.empty() && doc[0] == '(') {  // an attribute setter's: no name before it
        std::vector<Signature> unnamed = parse_signatures(name + doc, name);
        return unnamed;
    }
    const std::string head = name + "(";
    std::size_t at = 0;
    while ((at = doc.find(head, at)) != std::string::npos) {
        if (at > 0 && doc[at - 1] != '\n' && doc[at - 1] != ' ') {
            at += head.size();
            continue;
        }
        std::size_t i = at + head.size();
        int depth = 1;
        char quote = 0;
        for (; i < doc.size() && depth > 0; ++i) {
            const char c = doc[i];
            if (quote) {
                if (c == quote) quote = 0;
            } else if (c == '\'' || c == '"') {
                quote = c;
            } else if (c == '(' || c == '[') {
                ++depth;
            } else if (c == ')' || c == ']') {
                --depth;
            }
        }
        const std::string inside = doc.substr(at + head.size(), i - 1 - (at + head.size()));
        Signature sig;
        const std::size_t eol = doc.find('\n', i);
        sig.text = doc.substr(at + name.size(), (eol == std::string::npos ? doc.size() : eol) - at - name.size());
        if (inside == "*args, **kwargs") {  // the generic line of an overloaded function
            at = i;
            continue;
        }
        for (const std::string& part : split_top_level(inside)) {
            const std::string p = trim(part);
            if (p.empty() || p == "/" || p == "*") continue;
            Parameter param;
            const auto colon = p.find(':');
            const auto eq = p.find(" = ");
            param.name = trim(p.substr(0, std::min(colon, eq)));
            if (colon != std::string::npos) {
                param.type = trim(p.substr(colon + 1, eq == std::string::npos ? std::string::npos : eq - colon - 1));
            }
            param.has_default = eq != std::string::npos;
            sig.params.push_back(std::move(param));
        }
        out.push_back(std::move(sig));
        at = i;
    }
    return out;
}

// ---------------------------------------------------------------------------------------------
// What a value is, and what a type annotation expects

std::string short_repr(py::handle value) {
    std::string r;
    try {
        r = py::repr(value).cast<std::string>();
    } catch (const py::error_already_set&) {
        return "<unprintable>";
    }
    if (r.size() > 60) r = r.substr(0, 57) + "...";
    return r;
}

std::string type_name(py::handle value) {
    return py::str(py::type::handle_of(value).attr("__name__")).cast<std::string>();
}

std::string given(py::handle value) {
    if (value.is_none()) return "None";
    return type_name(value) + " " + short_repr(value);
}

bool is_int(py::handle v) {
    return PyLong_Check(v.ptr()) || (!PyFloat_Check(v.ptr()) && PyIndex_Check(v.ptr()));
}

bool is_number(py::handle v) {
    return is_int(v) || PyFloat_Check(v.ptr()) ||
           (!PyUnicode_Check(v.ptr()) && py::hasattr(v, "__float__"));
}

bool starts_with(const std::string& s, const char* prefix) {
    return s.compare(0, std::strlen(prefix), prefix) == 0;
}

// Which ints count as fitting: the annotations do not say the integer's width, so the search
// goes from the loosest reading to the strictest, and the first argument refused is reported.
enum class IntTier { k64Bits, k32Bits, kNonNegative32Bits };

// The range an int falls outside of at `tier`, or "" when it fits.
std::string int_range(py::handle v, IntTier tier) {
    int overflow = 0;
    const long long n = PyLong_AsLongLongAndOverflow(v.ptr(), &overflow);
    if (PyErr_Occurred()) PyErr_Clear();
    if (overflow != 0) return "an int that fits in 64 bits";
    if (tier == IntTier::k64Bits) return "";
    if (n < -2147483648LL || n > 4294967295LL) return "an int that fits in 32 bits";
    if (tier == IntTier::k32Bits) return "";
    if (n < 0) return "a non-negative int";
    if (n > 2147483647LL) return "an int that fits in 32 bits (at most 2,147,483,647)";
    return "";
}

std::string with_article(const std::string& word) {
    return (std::strchr("AEIOUaeiou", word[0]) ? "an " : "a ") + word;
}

std::string mismatch_one(py::handle value, const std::string& type, std::string& expected,
                         IntTier tier);

// The reason `value` does not fit `type` (alternatives joined by " | "), or "" when it seems to
// (or the type is not one this recognises). `expected` receives the type in words.
std::string mismatch(py::handle value, const std::string& type, std::string& expected, IntTier tier) {
    std::vector<std::string> alternatives;
    std::string rest = type;
    int depth = 0;
    std::string cur;
    for (std::size_t i = 0; i < rest.size(); ++i) {
        const char c = rest[i];
        if (c == '[') ++depth;
        if (c == ']') --depth;
        if (depth == 0 && rest.compare(i, 3, " | ") == 0) {
            alternatives.push_back(cur);
            cur.clear();
            i += 2;
            continue;
        }
        cur += c;
    }
    alternatives.push_back(cur);
    // typing.SupportsIndex beside another type only widens what pybind11 converts.
    if (alternatives.size() > 1 && alternatives.back() == "typing.SupportsIndex") alternatives.pop_back();
    std::string first_reason;
    for (std::size_t i = 0; i < alternatives.size(); ++i) {
        std::string words;
        const std::string why = mismatch_one(value, alternatives[i], words, tier);
        if (why.empty()) return "";
        if (i == 0) {
            first_reason = why;
            expected = words;
        } else {
            expected += " or " + words;
            first_reason = "type";
        }
    }
    return first_reason;
}

std::string mismatch_one(py::handle value, const std::string& type, std::string& expected,
                         IntTier tier) {
    if (type.empty() || type == "object" || starts_with(type, "typing.Any")) return "";
    if (type == "typing.SupportsInt" || type == "int" || type == "typing.SupportsIndex") {
        expected = "an int";
        if (PyBool_Check(value.ptr())) return "";
        if (!is_int(value) || PyFloat_Check(value.ptr())) return "type";
        if (!PyLong_Check(value.ptr())) return "";  // converted through __index__
        const std::string range = int_range(value, tier);
        if (range.empty()) return "";
        expected = range;
        return "type";
    }
    if (type == "typing.SupportsFloat" || type == "float") {
        expected = "a number";
        return is_number(value) ? "" : "type";
    }
    if (type == "str") {
        expected = "a str";
        return PyUnicode_Check(value.ptr()) ? "" : "type";
    }
    if (type == "bool") {
        expected = "a bool (True or False)";
        return PyBool_Check(value.ptr()) || is_int(value) ? "" : "type";
    }
    if (starts_with(type, "dict[") || starts_with(type, "collections.abc.Mapping[")) {
        expected = "a dict of feature name (str) to number";
        if (!PyDict_Check(value.ptr())) return "type";
        for (auto item : py::reinterpret_borrow<py::dict>(value)) {
            if (!PyUnicode_Check(item.first.ptr())) {
                return " (the key " + short_repr(item.first) + " is " + with_article(type_name(item.first)) + ")";
            }
            if (!is_number(item.second)) {
                return " (the value of " + short_repr(item.first) + " is " + given(item.second) + ")";
            }
        }
        return "";
    }
    if (starts_with(type, "list[") || starts_with(type, "collections.abc.Sequence[")) {
        expected = "a list";
        return PyList_Check(value.ptr()) || PyTuple_Check(value.ptr()) ? "" : "type";
    }
    if (starts_with(type, "_kavro_core.")) {
        const std::string cls_name = type.substr(std::strlen("_kavro_core."));
        expected = with_article(cls_name);
        py::object cls = py::module_::import("_kavro_core").attr(cls_name.c_str());
        return PyObject_IsInstance(value.ptr(), cls.ptr()) == 1 ? "" : "type";
    }
    return "";
}

// The parameter in words; `position` counts from 0 after self.
std::string describe_parameter(const std::string& method, const Parameter& p, std::size_t position,
                               bool setter) {
    if (setter) return "the value";
    const bool unnamed = starts_with(p.name, "arg");
    if (starts_with(p.type, "collections.abc.Mapping[") && (unnamed || p.name == "x")) {
        return "the record x";
    }
    if (starts_with(method, "learn") && position == 1 && (unnamed || p.name == "y")) {
        if (starts_with(p.type, "typing.SupportsInt")) return "the class label";
        if (starts_with(p.type, "typing.SupportsFloat")) return "the target";
    }
    if (unnamed) return "argument " + std::to_string(position + 1);
    return "argument '" + p.name + "'";
}

// The first line of the error for one signature, or "" when every argument seems to fit.
std::string diagnose(const std::string& where, const std::string& method, const Signature& sig,
                     bool setter, IntTier tier, const std::vector<py::handle>& args,
                     const py::dict& kwargs) {
    const bool is_method = true;
    std::vector<const Parameter*> params;
    for (std::size_t i = is_method ? 1 : 0; i < sig.params.size(); ++i) {
        const Parameter& p = sig.params[i];
        if (!starts_with(p.name, "*")) params.push_back(&p);
    }
    if (args.size() > params.size()) {
        return where + ": takes " + std::to_string(params.size()) + " argument" +
               (params.size() == 1 ? "" : "s") + ", got " + std::to_string(args.size());
    }
    std::vector<std::pair<const Parameter*, py::handle>> bound;
    for (std::size_t i = 0; i < args.size(); ++i) bound.emplace_back(params[i], args[i]);
    for (auto item : kwargs) {
        const std::string key = py::str(item.first).cast<std::string>();
        const Parameter* found = nullptr;
        for (std::size_t i = 0; i < params.size(); ++i) {
            if (params[i]->name == key) found = params[i];
        }
        if (found == nullptr) {
            std::string names;
            for (const Parameter* p : params) names += (names.empty() ? "" : ", ") + p->name;
            return where + ": no parameter named '" + key + "' (parameters: " +
                   (names.empty() ? "none" : names) + ")";
        }
        for (std::size_t i = 0; i < args.size(); ++i) {
            if (params[i] == found) return where + ": argument '" + key + "' given twice";
        }
        bound.emplace_back(found, item.second);
    }
    auto position = [&params](const Parameter* p) {
        std::size_t i = 0;
        while (params[i] != p) ++i;
        return i;
    };
    for (const Parameter* p : params) {
        if (p->has_default) continue;
        bool present = false;
        for (const auto& b : bound) present = present || b.first == p;
        if (!present) return where + ": missing " + describe_parameter(method, *p, position(p), setter);
    }
    for (const auto& [p, value] : bound) {
        std::string expected;
        const std::string why = mismatch(value, p->type, expected, tier);
        if (why.empty()) continue;
        return where + ": " + describe_parameter(method, *p, position(p), setter) + " must be " +
               expected + ", got " + given(value) + (why == "type" ? "" : why);
    }
    return "";
}

// What pybind11 itself says: the supported signatures and the arguments given.
std::string pybind11_lines(const std::string& name, const std::vector<Signature>& sigs,
                           const std::vector<py::handle>& args, const py::dict& kwargs,
                           bool constructor) {
    std::string out = name + "(): incompatible " + (constructor ? "constructor" : "function") +
                      " arguments. The following argument types are supported:\n";
    for (std::size_t i = 0; i < sigs.size(); ++i) {
        out += "    " + std::to_string(i + 1) + ". " + name + sigs[i].text + "\n";
    }
    out += "\nInvoked with: ";
    std::string list;
    for (py::handle a : args) list += (list.empty() ? "" : ", ") + short_repr(a);
    for (auto item : kwargs) {
        list += (list.empty() ? "" : ", ") + py::str(item.first).cast<std::string>() + "=" +
                short_repr(item.second);
    }
    return out + list;
}

struct CallSite {
    std::string where;   // "NaiveBayes.learn_one", "HoeffdingTreeClassifier()"
    std::string method;  // "learn_one", "__init__", the attribute name
    std::string name;    // the function's own name
    std::vector<Signature> sigs;
    bool constructor = false;
    bool setter = false;
};

[[noreturn]] void raise_argument_error(const CallSite& site, const std::vector<py::handle>& args,
                                       const py::dict& kwargs) {
    std::string first;
    for (IntTier tier : {IntTier::k64Bits, IntTier::k32Bits, IntTier::kNonNegative32Bits}) {
        for (const Signature& sig : site.sigs) {
            first = diagnose(site.where, site.method, sig, site.setter, tier, args, kwargs);
            if (!first.empty()) break;
        }
        if (!first.empty()) break;
    }
    if (first.empty()) first = site.where + ": the arguments do not match its signature";
    throw py::type_error(first + "\n" + pybind11_lines(site.name, site.sigs, args, kwargs,
                                                       site.constructor));
}

// ---------------------------------------------------------------------------------------------
// Installation

void set_doc(py::handle function, const std::string& doc) {
    auto* func = reinterpret_cast<PyCFunctionObject*>(function.ptr());
    std::free(const_cast<char*>(func->m_ml->ml_doc));
    func->m_ml->ml_doc = strdup(doc.c_str());
}

bool is_bound_function(py::handle f) {
    return PyCFunction_Check(f.ptr()) &&
           py::detail::function_record_ptr_from_PyObject(PyCFunction_GET_SELF(f.ptr())) != nullptr;
}

// Appends the catch-all overload to `function` (a bound method of `cls`).
void add_catch_all(py::handle cls, py::handle function, CallSite site) {
    const std::string doc = py::str(function.attr("__doc__")).cast<std::string>();
    site.sigs = parse_signatures(doc, site.name);
    static py::object* absent = new py::object(py::module_::import("builtins").attr("object")());
    py::object absent_marker = *absent;
    py::cpp_function(
        [site, absent_marker](py::handle /*self*/, DeferredArgument first, py::args rest,
                              py::kwargs kwargs) -> py::object {
            std::vector<py::handle> args;
            if (!first.value.is(absent_marker)) args.push_back(first.value);
            for (py::handle a : rest) args.push_back(a);
            raise_argument_error(site, args, kwargs);
        },
        py::name(site.name.c_str()), py::is_method(cls), py::sibling(function),
        py::arg_v("argument", absent_marker, "..."));
    set_doc(function, doc);
}

void add_argument_messages(py::handle cls) {
    const std::string cls_name = py::str(cls.attr("__name__")).cast<std::string>();
    py::dict own = py::reinterpret_borrow<py::dict>(reinterpret_cast<PyTypeObject*>(cls.ptr())->tp_dict);
    py::object property_type = py::module_::import("builtins").attr("property");
    for (auto item : own) {
        const std::string attr = py::str(item.first).cast<std::string>();
        if (attr[0] == '_' && attr != "__init__") continue;  // pybind11's own hooks
        py::handle value = item.second;
        if (PyInstanceMethod_Check(value.ptr())) {
            py::handle function = PyInstanceMethod_GET_FUNCTION(value.ptr());
            if (!is_bound_function(function)) continue;
            CallSite site;
            site.name = attr;
            site.method = attr;
            site.constructor = attr == "__init__";
            site.where = site.constructor ? cls_name + "()" : cls_name + "." + attr;
            add_catch_all(cls, function, std::move(site));
        } else if (PyObject_IsInstance(value.ptr(), property_type.ptr()) == 1) {
            py::object setter = value.attr("fset");
            if (PyInstanceMethod_Check(setter.ptr())) {
                setter = py::reinterpret_borrow<py::object>(PyInstanceMethod_GET_FUNCTION(setter.ptr()));
            }
            if (setter.is_none() || !is_bound_function(setter)) continue;
            CallSite site;
            site.name = attr;  // a setter's own name is empty
            site.method = attr;
            site.where = cls_name + "." + attr;
            site.setter = true;
            add_catch_all(cls, setter, std::move(site));
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Option strings

struct StringOption {
    const char* cls;
    const char* option;
    std::vector<const char*> accepted;
    const char* otherwise;  // what any other value selects
};

// Every string option of every class, with the values it recognises.
const std::vector<StringOption>& string_options() {
    static const std::vector<StringOption> table = {
        {"HoeffdingTreeClassifier", "split_criterion", {"gini", "info_gain"}, "information gain"},
        {"HoeffdingTreeClassifier", "leaf_prediction", {"mc", "nb", "nba"}, "adaptive prediction, as 'nba'"},
        {"HoeffdingAdaptiveTreeClassifier", "split_criterion", {"gini", "info_gain"}, "information gain"},
        {"SRPClassifier", "training_method", {"patches", "subspaces", "resampling"}, "'patches'"},
        {"SRPRegressor", "training_method", {"patches", "subspaces", "resampling"}, "'patches'"},
        {"FIMTDDRegressor", "leaf_prediction", {"mean", "perceptron", "adaptive"}, "adaptive prediction"},
        {"LeveragingBaggingRegressor", "leaf_prediction", {"mean", "perceptron", "adaptive"}, "adaptive prediction"},
        {"SGBTClassifier", "leaf_prediction", {"mean", "perceptron", "adaptive"}, "adaptive prediction"},
        {"SGBRRegressor", "leaf_prediction", {"mean", "perceptron", "adaptive"}, "adaptive prediction"},
    };
    return table;
}

// Warns (UserWarning) when `value` is a str the option does not recognise.
void check_option(const std::string& cls_name, const StringOption& opt, py::handle value) {
    if (!PyUnicode_Check(value.ptr())) return;  // a wrong type is the argument check's business
    const std::string text = value.cast<std::string>();
    std::string accepted;
    for (const char* a : opt.accepted) {
        if (text == a) return;
        accepted += std::string(accepted.empty() ? "" : ", ") + "'" + a + "'";
    }
    const std::string message = cls_name + ": " + opt.option + "=" + short_repr(value) +
                                " is not a recognised value (" + accepted + "); it selects " +
                                opt.otherwise;
    if (PyErr_WarnEx(PyExc_UserWarning, message.c_str(), 1) != 0) throw py::error_already_set();
}

// The constructor's position of each option of `cls` (after self), -1 when not a parameter.
void wrap_constructor(py::handle cls, const std::string& cls_name,
                      const std::vector<const StringOption*>& options) {
    PyObject* own = PyDict_GetItemString(reinterpret_cast<PyTypeObject*>(cls.ptr())->tp_dict, "__init__");
    if (own == nullptr) return;
    py::object original = py::reinterpret_borrow<py::object>(own);
    const std::string doc = py::str(original.attr("__doc__")).cast<std::string>();
    const std::vector<Signature> sigs = parse_signatures(doc, "__init__");
    if (sigs.empty()) return;
    std::vector<std::pair<const StringOption*, int>> checks;
    for (const StringOption* opt : options) {
        const auto& params = sigs.front().params;
        for (std::size_t i = 1; i < params.size(); ++i) {
            if (params[i].name == opt->option) checks.emplace_back(opt, static_cast<int>(i) - 1);
        }
    }
    if (checks.empty()) return;
    py::cpp_function checked(
        [original, checks, cls_name](py::handle self, py::args args, py::kwargs kwargs) {
            for (const auto& [opt, position] : checks) {
                if (position < static_cast<int>(args.size())) {
                    check_option(cls_name, *opt, args[static_cast<std::size_t>(position)]);
                } else if (kwargs.contains(opt->option)) {
                    check_option(cls_name, *opt, kwargs[opt->option]);
                }
            }
            original(self, *args, **kwargs);
        },
        // Named "__init__" at creation, pybind11 would treat it as a constructor.
        py::name("checked_init"), py::is_method(cls));
    auto* func = reinterpret_cast<PyCFunctionObject*>(PyInstanceMethod_GET_FUNCTION(checked.ptr()));
    set_doc(PyInstanceMethod_GET_FUNCTION(checked.ptr()), doc);
    func->m_ml->ml_name = "__init__";
    py::setattr(cls, "__init__", checked);
}

void wrap_setter(py::handle cls, const std::string& cls_name, const StringOption* opt) {
    py::dict own = py::reinterpret_borrow<py::dict>(reinterpret_cast<PyTypeObject*>(cls.ptr())->tp_dict);
    if (!own.contains(opt->option)) return;
    py::object prop = own[opt->option];
    py::object setter = prop.attr("fset");
    if (setter.is_none()) return;
    py::cpp_function checked(
        [setter, opt, cls_name](py::handle self, py::object value) {
            check_option(cls_name, *opt, value);
            setter(self, value);
        },
        py::name(opt->option), py::is_method(cls));
    py::object property_type = py::module_::import("builtins").attr("property");
    py::setattr(cls, opt->option, property_type(prop.attr("fget"), checked, py::none(), prop.attr("__doc__")));
}

void add_option_warnings(py::module_& m) {
    std::vector<std::string> done;
    for (const StringOption& opt : string_options()) {
        if (!py::hasattr(m, opt.cls)) continue;
        bool seen = false;
        for (const std::string& d : done) seen = seen || d == opt.cls;
        if (seen) continue;
        done.emplace_back(opt.cls);
        std::vector<const StringOption*> options;
        for (const StringOption& o : string_options()) {
            if (std::strcmp(o.cls, opt.cls) == 0) options.push_back(&o);
        }
        py::object cls = m.attr(opt.cls);
        wrap_constructor(cls, opt.cls, options);
        for (const StringOption* o : options) wrap_setter(cls, opt.cls, o);
    }
}

}  // namespace

void install_call_checks(py::module_& m) {
    for (auto item : py::reinterpret_borrow<py::dict>(m.attr("__dict__"))) {
        py::handle cls = item.second;
        if (!PyType_Check(cls.ptr()) ||
            py::detail::all_type_info(reinterpret_cast<PyTypeObject*>(cls.ptr())).empty()) {
            continue;
        }
        add_argument_messages(cls);
    }
    add_option_warnings(m);
}

}  // namespace kavro::bindings
