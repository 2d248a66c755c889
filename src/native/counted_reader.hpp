#pragma once

#include <pybind11/pybind11.h>

namespace pixelmend {

namespace py = pybind11;

// A reader that passes read(size) on to `source` and reports the bytes read
// to `report` (a callable taking a count), in batches of at least `batch`
// bytes and once more at the end of the data, so that a report per block
// of the upload does not slow it. Its `len` is the source's `len`.
py::object make_counted_reader(py::object source, py::object report, Py_ssize_t batch);

}
