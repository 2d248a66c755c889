#pragma once

#include "main/main_state.hpp"

#include <pybind11/pybind11.h>

namespace pixelmend {

namespace py = pybind11;

// One operation's upload: where it goes, the fields the operation built, and
// the image path(s) that the image path helper turns into file entries.
// `to_compare` is set only for the operation that uploads a second image.
struct Upload {
    const char* endpoint;
    py::list fields;
    py::handle image_path;
    py::handle to_compare;
};

// Uploads, checks the reply and downloads the result files into
// results/<last component of the image path>; returns the outcome text.
py::object exchange(const MainState& state, const py::dict& globals, const Upload& upload);

}
