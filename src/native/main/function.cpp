#include "main/function.hpp"

#include "capi/api_boundary.hpp"
#include "capi/module_type.hpp"
#include "capi/new_reference.hpp"

#include <structmember.h>

#include <array>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace pixelmend {

namespace {

constexpr std::size_t max_parameters = 8;

// The function-like object. Every PyObject* member is an owned reference;
// `def` points at a static description that outlives every instance.
struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionDef* def;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* defaults;
    PyObject* annotations;
    PyObject* parameter_names;
    PyObject* text_signature;
    PyObject* globals;
    PyObject* dict;
    PyObject* weakreflist;
};

PyObject* new_reference(PyObject* object)
{
    Py_INCREF(object);
    return object;
}

FunctionObject* as_function(PyObject* object)
{
    return reinterpret_cast<FunctionObject*>(object);
}

// Error messages name the function as the running interpreter's own
// functions do: by `__name__` before 3.10, by `__qualname__` since.
PyObject* reported_name(const FunctionObject& function)
{
#if PY_VERSION_HEX >= 0x030A0000
    return function.qualname;
#else
    return function.name;
#endif
}

std::size_t parameter_count(const FunctionObject& function)
{
    return function.def->parameters.size();
}

std::size_t default_count(const FunctionObject& function)
{
    return static_cast<std::size_t>(PyTuple_GET_SIZE(function.defaults));
}

PyObject* parameter_name(const FunctionObject& function, std::size_t index)
{
    return PyTuple_GET_ITEM(function.parameter_names, static_cast<Py_ssize_t>(index));
}

void raise_too_many_positional(const FunctionObject& function, std::size_t given)
{
    const std::size_t total = parameter_count(function);
    const std::size_t defaults = default_count(function);
    const std::string accepted = defaults != 0
        ? "from " + std::to_string(total - defaults) + " to " + std::to_string(total)
        : std::to_string(total);
    const bool plural = defaults != 0 || total != 1;
    PyErr_Format(PyExc_TypeError, "%U() takes %s positional argument%s but %zd %s given",
                 reported_name(function), accepted.c_str(), plural ? "s" : "",
                 static_cast<Py_ssize_t>(given), given == 1 ? "was" : "were");
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'": the interpreter's own wording.
std::string join_missing_names(const std::vector<std::string>& names)
{
    if (names.size() == 1) {
        return names[0];
    }
    if (names.size() == 2) {
        return names[0] + " and " + names[1];
    }
    std::string text;
    for (std::size_t i = 0; i + 1 < names.size(); ++i) {
        text += names[i] + ", ";
    }
    return text + "and " + names.back();
}

bool raise_missing(const FunctionObject& function, const std::array<PyObject*, max_parameters>& slots)
{
    const std::size_t required = parameter_count(function) - default_count(function);
    std::vector<std::string> names;
    for (std::size_t i = 0; i < required; ++i) {
        if (slots[i] == nullptr) {
            const char* name = PyUnicode_AsUTF8(parameter_name(function, i));
            if (name == nullptr) {
                return false;
            }
            names.push_back("'" + std::string(name) + "'");
        }
    }
    PyErr_Format(PyExc_TypeError, "%U() missing %zd required positional argument%s: %s",
                 reported_name(function), static_cast<Py_ssize_t>(names.size()),
                 names.size() == 1 ? "" : "s", join_missing_names(names).c_str());
    return false;
}

// Index of the parameter called `keyword`, parameter_count() when there is
// none, or -1 with an exception set when comparing raised.
Py_ssize_t find_parameter(const FunctionObject& function, PyObject* keyword)
{
    const std::size_t count = parameter_count(function);
    for (std::size_t i = 0; i < count; ++i) {
        if (parameter_name(function, i) == keyword) {
            return static_cast<Py_ssize_t>(i);
        }
    }
    for (std::size_t i = 0; i < count; ++i) {
        const int equal = PyObject_RichCompareBool(keyword, parameter_name(function, i), Py_EQ);
        if (equal != 0) {
            return equal > 0 ? static_cast<Py_ssize_t>(i) : -1;
        }
    }
    return static_cast<Py_ssize_t>(count);
}

bool bind_keywords(const FunctionObject& function, PyObject* const* values, PyObject* kwnames,
                   std::array<PyObject*, max_parameters>& slots)
{
    const Py_ssize_t count = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < count; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(keyword)) {
            PyErr_Format(PyExc_TypeError, "%U() keywords must be strings", reported_name(function));
            return false;
        }
        const Py_ssize_t index = find_parameter(function, keyword);
        if (index < 0) {
            return false;
        }
        if (static_cast<std::size_t>(index) == parameter_count(function)) {
            PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'",
                         reported_name(function), keyword);
            return false;
        }
        if (slots[static_cast<std::size_t>(index)] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'",
                         reported_name(function), keyword);
            return false;
        }
        slots[static_cast<std::size_t>(index)] = values[k];
    }
    return true;
}

// Fills `slots` with borrowed references in parameter order, following the
// interpreter's own order of checks so that every error matches a Python
// function of the same signature.
bool bind_arguments(const FunctionObject& function, PyObject* const* args, std::size_t nargs,
                    PyObject* kwnames, std::array<PyObject*, max_parameters>& slots)
{
    const std::size_t total = parameter_count(function);
    const std::size_t positional = nargs < total ? nargs : total;
    for (std::size_t i = 0; i < positional; ++i) {
        slots[i] = args[i];
    }
    if (!bind_keywords(function, args + nargs, kwnames, slots)) {
        return false;
    }
    if (nargs > total) {
        raise_too_many_positional(function, nargs);
        return false;
    }
    const std::size_t required = total - default_count(function);
    for (std::size_t i = nargs; i < required; ++i) {
        if (slots[i] == nullptr) {
            return raise_missing(function, slots);
        }
    }
    for (std::size_t i = required; i < total; ++i) {
        if (slots[i] == nullptr) {
            slots[i] = PyTuple_GET_ITEM(function.defaults, static_cast<Py_ssize_t>(i - required));
        }
    }
    return true;
}

// Text parameters take exactly `str` or None; a subclass of `str` is refused
// too, since the value is sent as it is and must not carry behaviour.
bool check_text_arguments(const FunctionObject& function, const std::array<PyObject*, max_parameters>& slots)
{
    const auto& parameters = function.def->parameters;
    for (std::size_t i = 0; i < parameters.size(); ++i) {
        PyObject* value = slots[i];
        if (parameters[i].checked && value != Py_None && !PyUnicode_CheckExact(value)) {
            PyErr_Format(PyExc_TypeError, "Argument '%s' has incorrect type (expected str, got %s)",
                         parameters[i].name, Py_TYPE(value)->tp_name);
            return false;
        }
    }
    return true;
}

py::object run_body(PyObject* callable, const std::array<PyObject*, max_parameters>& slots)
{
    const FunctionObject& function = *as_function(callable);
    std::array<py::handle, max_parameters> arguments;
    for (std::size_t i = 0; i < parameter_count(function); ++i) {
        arguments[i] = slots[i];
    }
    const auto globals = py::reinterpret_borrow<py::dict>(function.globals);
    const Call call{state_of_type(Py_TYPE(callable)), globals,
                    std::span<const py::handle>(arguments.data(), parameter_count(function))};
    return function.def->body(call);
}

// Binding builds the texts of its errors, which can fail to allocate: it
// runs inside the boundary with the body.
PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept
{
    return guarded([&] {
        const FunctionObject& function = *as_function(callable);
        std::array<PyObject*, max_parameters> slots{};
        const auto nargs = static_cast<std::size_t>(PyVectorcall_NARGS(nargsf));
        if (!bind_arguments(function, args, nargs, kwnames, slots) || !check_text_arguments(function, slots)) {
            throw py::error_already_set();
        }
        return run_body(callable, slots);
    });
}

PyObject* function_descr_get(PyObject* self, PyObject* instance, PyObject*) noexcept
{
    if (instance == nullptr || instance == Py_None) {
        Py_INCREF(self);
        return self;
    }
    return PyMethod_New(self, instance);
}

PyObject* function_repr(PyObject* self) noexcept
{
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

// The members that can take part in a reference cycle, which the collector
// visits and clears, and those that cannot (texts, and tuples of texts).
constexpr PyObject* FunctionObject::*collected_members[] = {
    &FunctionObject::module,
    &FunctionObject::annotations,
    &FunctionObject::globals,
    &FunctionObject::dict,
};
constexpr PyObject* FunctionObject::*plain_members[] = {
    &FunctionObject::name,
    &FunctionObject::qualname,
    &FunctionObject::defaults,
    &FunctionObject::parameter_names,
    &FunctionObject::text_signature,
};

int function_traverse(PyObject* self, visitproc visit, void* arg) noexcept
{
    Py_VISIT(Py_TYPE(self));
    for (PyObject* FunctionObject::*member : collected_members) {
        Py_VISIT(as_function(self)->*member);
    }
    return 0;
}

int function_clear(PyObject* self) noexcept
{
    for (PyObject* FunctionObject::*member : collected_members) {
        Py_CLEAR(as_function(self)->*member);
    }
    return 0;
}

void function_dealloc(PyObject* self) noexcept
{
    PyObject_GC_UnTrack(self);
    if (as_function(self)->weakreflist != nullptr) {
        PyObject_ClearWeakRefs(self);
    }
    function_clear(self);
    for (PyObject* FunctionObject::*member : plain_members) {
        Py_CLEAR(as_function(self)->*member);
    }
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_Del(self);
    Py_DECREF(type);
}

// The getter of a member that is set when the function is made and never
// rebound.
template <PyObject* FunctionObject::*Member>
PyObject* get_member(PyObject* self, void*) noexcept
{
    return new_reference(as_function(self)->*Member);
}

PyObject* get_defaults(PyObject* self, void*) noexcept
{
    FunctionObject* function = as_function(self);
    return new_reference(PyTuple_GET_SIZE(function->defaults) != 0 ? function->defaults : Py_None);
}

PyObject* get_none(PyObject*, void*) noexcept
{
    Py_RETURN_NONE;
}

PyGetSetDef function_getset[] = {
    {"__name__", get_member<&FunctionObject::name>, nullptr, nullptr, nullptr},
    {"__qualname__", get_member<&FunctionObject::qualname>, nullptr, nullptr, nullptr},
    {"__doc__", get_none, nullptr, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_none, nullptr, nullptr, nullptr},
    {"__annotations__", get_member<&FunctionObject::annotations>, nullptr, nullptr, nullptr},
    {"__text_signature__", get_member<&FunctionObject::text_signature>, nullptr, nullptr, nullptr},
    {"__globals__", get_member<&FunctionObject::globals>, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyObject* function_reduce(PyObject* self, PyObject*) noexcept
{
    return new_reference(as_function(self)->qualname);
}

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef function_members[] = {
    {"__module__", T_OBJECT, offsetof(FunctionObject, module), 0, nullptr},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(FunctionObject, vectorcall), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(FunctionObject, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(FunctionObject, weakreflist), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_getset, function_getset},
    {Py_tp_methods, function_methods},
    {Py_tp_members, function_members},
    {0, nullptr},
};

PyType_Spec function_spec = {
    .name = "pixelmend.main.function",
    .basicsize = sizeof(FunctionObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR
        | own_instances_only,
    .slots = function_slots,
};

std::string text_signature(const FunctionDef& def)
{
    std::string text = "(";
    for (const Parameter& parameter : def.parameters) {
        if (text.size() > 1) {
            text += ", ";
        }
        text += parameter.name;
        if (parameter.text_default != nullptr) {
            text += std::string("='") + parameter.text_default + "'";
        }
    }
    return text + ")";
}

struct Attributes {
    py::tuple parameter_names;
    py::tuple defaults;
    py::dict annotations;
};

Attributes describe(const FunctionDef& def)
{
    Attributes attributes{py::tuple(def.parameters.size()), py::tuple(), py::dict()};
    py::list defaults;
    for (std::size_t i = 0; i < def.parameters.size(); ++i) {
        const Parameter& parameter = def.parameters[i];
        auto name = steal_or_throw<py::str>(PyUnicode_InternFromString(parameter.name));
        attributes.parameter_names[i] = std::move(name);
        if (parameter.text_default != nullptr) {
            defaults.append(py::str(parameter.text_default));
        }
        if (parameter.checked) {
            attributes.annotations[parameter.name] = py::str("str");
        }
    }
    attributes.defaults = py::tuple(defaults);
    return attributes;
}

}

PyObject* new_function_type(PyObject* module)
{
    return new_module_type(module, &function_spec);
}

py::object make_function(const MainState& state, const FunctionDef& def, const py::str& qualname,
                         const py::dict& globals)
{
    if (def.parameters.size() > max_parameters) {
        throw std::length_error("too many parameters");
    }
    // Every value that can fail is made first; the object, once it exists,
    // only takes them over, so a failure never leaves one half made.
    Attributes attributes = describe(def);
    py::object module = globals.contains("__name__") ? py::object(globals["__name__"]) : py::object(py::none());
    py::str signature(text_signature(def));
    py::str name(def.name);
    auto* function = PyObject_GC_New(FunctionObject, reinterpret_cast<PyTypeObject*>(state.function_type));
    if (function == nullptr) {
        throw py::error_already_set();
    }
    function->vectorcall = function_vectorcall;
    function->def = &def;
    function->name = name.release().ptr();
    function->qualname = qualname.inc_ref().ptr();
    function->module = module.release().ptr();
    function->defaults = attributes.defaults.release().ptr();
    function->annotations = attributes.annotations.release().ptr();
    function->parameter_names = attributes.parameter_names.release().ptr();
    function->text_signature = signature.release().ptr();
    function->globals = globals.inc_ref().ptr();
    function->dict = nullptr;
    function->weakreflist = nullptr;
    PyObject_GC_Track(function);
    return py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(function));
}

}
