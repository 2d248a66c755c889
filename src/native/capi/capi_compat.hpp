#pragma once

#include <Python.h>

// The strong-reference look-ups of CPython 3.13, for the CPythons before it.
// A borrowed item can be freed by another thread that replaces it as soon as
// the interpreter has no GIL; these hand over a reference of our own.
#if PY_VERSION_HEX < 0x030D0000
inline int PyDict_GetItemRef(PyObject* dict, PyObject* key, PyObject** result)
{
    PyObject* item = PyDict_GetItemWithError(dict, key);
    Py_XINCREF(item);
    *result = item;
    if (item != nullptr) {
        return 1;
    }
    return PyErr_Occurred() ? -1 : 0;
}

inline PyObject* PyList_GetItemRef(PyObject* list, Py_ssize_t index)
{
    PyObject* item = PyList_GetItem(list, index);
    Py_XINCREF(item);
    return item;
}
#endif
