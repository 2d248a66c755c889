#pragma once

#include <pybind11/pybind11.h>

#include <span>

namespace pixelmend {

namespace py = pybind11;

// One parameter of a function-like object. A parameter with `text_default`
// is optional; a `checked` parameter accepts exactly `str` or None and is the
// one annotated with the text "str".
struct Parameter {
    const char* name;
    const char* text_default = nullptr;
    bool checked = false;
};

// What a body receives: the module namespace it reads its names from, and the
// arguments bound to the parameters, in parameter order.
struct Call {
    const py::dict& globals;
    std::span<const py::handle> arguments;

    py::handle operator[](std::size_t index) const { return arguments[index]; }
};

using Body = py::object (*)(const Call& call);

struct FunctionDef {
    const char* name;
    std::span<const Parameter> parameters;
    Body body;
};

// Creates a function object for `def`: callable with vectorcall, binding to
// instances like a Python function, reading its globals from `globals`.
py::object make_function(const FunctionDef& def, const py::str& qualname, const py::dict& globals);

// Looks a name up the way a Python function does at run time: the module
// namespace first, then the builtins; NameError otherwise.
py::object lookup_global(const py::dict& globals, const char* name);
py::object lookup_global(const py::dict& globals, py::handle name);

}
