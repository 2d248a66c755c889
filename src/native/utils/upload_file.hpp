#pragma once

#include "platform/image_listing.hpp"

#include <pybind11/pybind11.h>

namespace pixelmend {

namespace py = pybind11;

// The UploadFile type, made for `module` as it executes; null with an
// exception set on failure.
PyObject* new_upload_file_type(PyObject* module);

// A reader of `type` that streams `file` into a MultipartEncoder: it opens
// the file on its first read and closes it after the last byte, so encoding
// many files keeps at most one of them open. One thread reads it at a time:
// a read while another is under way raises RuntimeError, and a read after
// close() ValueError.
py::object make_upload_file(py::handle type, const ImageFile& file);

}
