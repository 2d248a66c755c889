#pragma once

#include <pybind11/pybind11.h>

#include <algorithm>
#include <cstddef>

namespace pixelmend {

namespace py = pybind11;

template <std::size_t Size>
struct Literal {
    constexpr Literal(const char (&text)[Size]) { std::copy_n(text, Size, value); }
    char value[Size];
};

// An interned str made once for each literal: building names and fixed
// values from C strings on every call cost more than the rest of a call.
// A creation that failed (no memory) is tried again by the next call instead
// of leaving the name missing for the life of the process; the GIL guards it.
template <Literal Text>
py::handle interned()
{
    static PyObject* text = nullptr;
    if (text == nullptr) {
        text = PyUnicode_InternFromString(Text.value);
        if (text == nullptr) {
            throw py::error_already_set();
        }
    }
    return text;
}

}
