#pragma once

#include "image_listing.hpp"

#include <pybind11/pybind11.h>

namespace pixelmend {

namespace py = pybind11;

// Adds the UploadFile type to the module; -1 with an exception set on failure.
int add_upload_file_type(PyObject* module);

// A reader that streams `file` into a MultipartEncoder: it opens the file on
// its first read and closes it after the last byte, so encoding many files
// keeps at most one of them open.
py::object make_upload_file(const ImageFile& file);

}
