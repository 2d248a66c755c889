#pragma once

#include <pybind11/pybind11.h>

namespace pixelmend {

namespace py = pybind11;

// Takes over the new reference that a C API call returned, or throws the
// error that the call set when it returned null.
template <typename Object = py::object>
Object steal_or_throw(PyObject* result)
{
    if (result == nullptr) {
        throw py::error_already_set();
    }
    return py::reinterpret_steal<Object>(result);
}

// The same, except that an error of type `expected` (or a subclass) is no
// error: it is cleared, and the object comes back empty.
template <typename Object = py::object>
Object steal_catching(PyObject* result, PyObject* expected)
{
    if (result == nullptr) {
        if (!PyErr_ExceptionMatches(expected)) {
            throw py::error_already_set();
        }
        PyErr_Clear();
    }
    return py::reinterpret_steal<Object>(result);
}

}
