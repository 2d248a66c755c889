#pragma once

#include "capi/text.hpp"

#include <pybind11/pybind11.h>

namespace pixelmend {

namespace py = pybind11;

// A stream that cannot tell (None, closed, a stand-in without isatty)
// counts as no terminal.
inline bool is_terminal(const py::object& stream)
{
    if (stream.is_none()) {
        return false;
    }
    try {
        return is_true(stream.attr("isatty")());
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_Exception)) {
            throw;
        }
        return false;
    }
}

}
