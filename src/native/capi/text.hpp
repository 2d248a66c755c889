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

// C0 controls, DEL and C1 controls, which a terminal may take for commands;
// lone surrogates, which no stream can encode; and the bidirectional
// embedding, override and isolate controls, which show a name in another
// order than it is spelt (an executable passed off as an image). Zero-width
// joiners and non-joiners, which names in many scripts need, are not among them.
bool is_unprintable(char32_t character) noexcept;

// The text with each control character and lone surrogate written as a
// backslash escape (\n, \x1b, \x85, \udcff, ...), so that printing it can
// only show it, on any stream; text without them comes back as it is.
py::str printable(py::str text);

// One call of the `print` that a function of `globals` sees.
void print_line(const py::dict& globals, py::handle value);

[[noreturn]] void raise_exception(PyObject* type, py::handle message);

}
