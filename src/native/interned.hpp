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
template <Literal Text>
py::handle interned()
{
    static PyObject* const text = PyUnicode_InternFromString(Text.value);
    if (text == nullptr) {
        throw py::error_already_set();
    }
    return text;
}

}
