#pragma once

#include "main/main_state.hpp"
#include "capi/module_globals.hpp"

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

// What a body receives: the state of the module that made the function, the
// module namespace it reads its names from, and the arguments bound to the
// parameters, in parameter order.
struct Call {
    const MainState& state;
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

// The type of the function objects, made for `module` as it executes; null
// with an exception set on failure.
PyObject* new_function_type(PyObject* module);

// Creates a function object for `def`: callable with vectorcall, binding to
// instances like a Python function, reading its globals from `globals`.
py::object make_function(const MainState& state, const FunctionDef& def, const py::str& qualname,
                         const py::dict& globals);

}
