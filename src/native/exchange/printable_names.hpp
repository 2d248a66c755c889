#pragma once

#include <pybind11/pybind11.h>

namespace pixelmend {

namespace py = pybind11;

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

}
