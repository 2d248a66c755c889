#pragma once

#include <pybind11/pybind11.h>

namespace pixelmend {

namespace py = pybind11;

// Whether a name from the reply is refused as a result file of `save_dir`:
// one that could climb out of it, address another directory or a device,
// that the system would save under another name or cannot hold, or that
// would drive the terminal it is printed on. Such a name fails alone, with
// its "Failed to download" line, and nothing is requested for it.
bool is_refused_name(const py::object& save_dir, py::handle filename);

// Where the reply puts a result file: its `path`, read anew for each file,
// "/" and the name as one URL path segment.
py::str result_file_url(const py::object& result, py::handle filename);

}
