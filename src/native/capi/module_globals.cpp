#include "capi/module_globals.hpp"

#include "capi/capi_compat.hpp"

namespace pixelmend {

py::object lookup_global(const py::dict& globals, py::handle name)
{
    PyObject* value = nullptr;
    int found = PyDict_GetItemRef(globals.ptr(), name.ptr(), &value);
    if (found == 0) {
        found = PyDict_GetItemRef(PyEval_GetBuiltins(), name.ptr(), &value);
    }
    if (found < 0) {
        throw py::error_already_set();
    }
    if (found == 0) {
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.ptr());
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::object>(value);
}

py::object lookup_global(const py::dict& globals, const char* name)
{
    return lookup_global(globals, py::str(name));
}

}
