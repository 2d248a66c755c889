#pragma once

#include "platform/image_listing.hpp"

#include <pybind11/pybind11.h>

#include <vector>

namespace pixelmend {

namespace py = pybind11;

// The files an `image_path` argument names; nothing for None.
std::vector<ImageFile> images_at(py::handle image_path);

// A new list of the caller's (name, value) pairs, taken from a mapping's
// items() as MultipartEncoder would; the caller's object is left alone.
py::list copy_fields(py::handle fields);

// mimetypes.guess_type, looked up once per helper call.
py::object guess_type_function();

// Appends (field, (file name, reader, content type)) for each file, each
// reader of `reader_type`.
void append_images(py::list& fields, const char* field, const std::vector<ImageFile>& files,
                   const py::object& guess_type, py::handle reader_type);

}
