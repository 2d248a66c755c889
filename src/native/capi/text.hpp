#pragma once

#include <pybind11/pybind11.h>

#include <initializer_list>

namespace pixelmend {

namespace py = pybind11;

// The value as text, as format(value, "") gives it.
py::str as_text(py::handle value);

// The texts joined with nothing in between.
py::str concat(std::initializer_list<py::handle> parts);

// The interpreter's truth test; errors of __bool__ or __len__ propagate.
bool is_true(py::handle value);

// value == other, as the interpreter's equality test gives it.
bool equals(py::handle value, py::handle other);

}
