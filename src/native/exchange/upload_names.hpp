#pragma once

#include <pybind11/pybind11.h>

namespace pixelmend {

namespace py = pybind11;

// The file tuple (file name, file, ...) of a form entry (name, file tuple);
// null for an entry of any other shape. Borrowed.
PyObject* file_tuple_of(PyObject* entry);

// The encoder's UnicodeEncodeError for a file name that is not valid UTF-8
// (undecodable bytes kept as lone surrogates) shows only a form header.
// Raises instead the error of encoding the first such file name in `fields`,
// its reason naming the file and the encoder's error as its cause; rethrows
// `encoder_error` when no file name is to blame.
[[noreturn]] void raise_for_unencodable_file_name(py::handle fields, py::error_already_set& encoder_error);

}
