#pragma once

#include <Python.h>

#include <type_traits>

namespace pixelmend {

using FastcallFunction = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t);
using FastcallKeywordsFunction = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// A METH_FASTCALL function (with METH_KEYWORDS or without) as the PyCFunction
// that a PyMethodDef holds; the interpreter calls it with the signature its
// flags name. The cast goes through a function type without parameters, the
// one that compilers accept between unrelated function types without a warning.
template <auto Function>
PyCFunction fastcall_method() noexcept
{
    static_assert(std::is_convertible_v<decltype(Function), FastcallFunction>
                      || std::is_convertible_v<decltype(Function), FastcallKeywordsFunction>,
                  "a METH_FASTCALL function takes (self, args, nargs) or (self, args, nargs, kwnames)");
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Function));
}

}
