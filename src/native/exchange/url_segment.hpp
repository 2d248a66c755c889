#pragma once

#include <pybind11/pybind11.h>

namespace pixelmend {

namespace py = pybind11;

// The text as one path segment of a URL, as urllib.parse.quote(text, safe="")
// writes it: UTF-8 bytes other than letters, digits and "_.-~" become %XX,
// so "?", "#", "/" and "%" cannot change which file the URL addresses.
// UnicodeEncodeError for text that UTF-8 cannot encode, as quote() raises.
py::str url_path_segment(const py::str& text);

}
