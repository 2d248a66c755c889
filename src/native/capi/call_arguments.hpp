#pragma once

#include <pybind11/pybind11.h>

#include <array>
#include <cstddef>

namespace pixelmend {

namespace py = pybind11;

// Binds METH_FASTCALL|METH_KEYWORDS arguments to parameter names the way a
// Python function without defaults does; the result borrows from `args`.
template <std::size_t N>
class CallArguments {
public:
    CallArguments(const char* function, const std::array<const char*, N>& names, PyObject* const* args,
                  Py_ssize_t nargs, PyObject* keyword_names)
        : function_(function), names_(names)
    {
        take_positional(args, nargs);
        const Py_ssize_t keywords = keyword_names == nullptr ? 0 : PyTuple_GET_SIZE(keyword_names);
        for (Py_ssize_t i = 0; i < keywords; ++i) {
            take_keyword(PyTuple_GET_ITEM(keyword_names, i), args[nargs + i]);
        }
        require_all();
    }

    py::handle operator[](std::size_t index) const { return values_[index]; }

private:
    [[noreturn]] static void raise() { throw py::error_already_set(); }

    void take_positional(PyObject* const* args, Py_ssize_t nargs)
    {
        if (nargs > static_cast<Py_ssize_t>(N)) {
            PyErr_Format(PyExc_TypeError, "%s() takes %zu positional arguments but %zd were given", function_, N,
                         nargs);
            raise();
        }
        for (Py_ssize_t i = 0; i < nargs; ++i) {
            values_[static_cast<std::size_t>(i)] = args[i];
        }
    }

    std::size_t index_of(PyObject* keyword) const
    {
        for (std::size_t i = 0; i < N; ++i) {
            if (PyUnicode_CompareWithASCIIString(keyword, names_[i]) == 0) {
                return i;
            }
        }
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function_, keyword);
        raise();
    }

    void take_keyword(PyObject* keyword, PyObject* value)
    {
        const std::size_t index = index_of(keyword);
        if (values_[index] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", function_, names_[index]);
            raise();
        }
        values_[index] = value;
    }

    void require_all() const
    {
        for (std::size_t i = 0; i < N; ++i) {
            if (values_[i] == nullptr) {
                PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)", function_, names_[i],
                             i + 1);
                raise();
            }
        }
    }

    const char* function_;
    const std::array<const char*, N>& names_;
    std::array<PyObject*, N> values_{};
};

}
