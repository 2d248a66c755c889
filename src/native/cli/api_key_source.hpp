#pragma once

#include <pybind11/pybind11.h>

namespace pixelmend {

namespace py = pybind11;

// The key of a command line, or why it is refused: `refusal` is the line to
// print instead, and it never shows the key.
struct ApiKey {
    py::object key;
    const char* refusal = nullptr;
};

// The key that the command line's KEY stands for. A KEY of "-" keeps the key
// off the command line: it comes from PIXELMEND_API_KEY when that is set and
// not empty, else from standard input, typed without echo on a terminal or
// as the first line of a pipe. No key at all is empty text.
ApiKey api_key_of(const py::dict& globals, py::object given);

}
