#pragma once

#include "capi/module_globals.hpp"

#include <pybind11/pybind11.h>

namespace pixelmend {

namespace py = pybind11;

// One call of the `print` that a function of `globals` sees, looked up at
// the moment of the call, as a Python function's body would.
inline void print_line(const py::dict& globals, py::handle value)
{
    lookup_global(globals, "print")(value);
}

// `raise type(message)`.
[[noreturn]] inline void raise_exception(PyObject* type, py::handle message)
{
    PyErr_SetObject(type, message.ptr());
    throw py::error_already_set();
}

}
