#pragma once

#include "capi/new_reference.hpp"
#include "platform/platform.hpp"

#include <pybind11/pybind11.h>

namespace pixelmend {

namespace py = pybind11;

// os.fspath() followed by the system's own form: on POSIX the bytes
// os.fsencode() gives, on Windows the UTF-16 text (bytes decoded as
// os.fsdecode() does). TypeError/ValueError as those raise them.
inline platform::NativePath native_path(py::handle path)
{
#ifdef _WIN32
    PyObject* converted = nullptr;
    if (!PyUnicode_FSDecoder(path.ptr(), &converted)) {
        throw py::error_already_set();
    }
    auto owner = py::reinterpret_steal<py::object>(converted);
    Py_ssize_t length = 0;
    wchar_t* text = PyUnicode_AsWideCharString(converted, &length);
    if (text == nullptr) {
        throw py::error_already_set();
    }
    platform::NativePath native(text, static_cast<std::size_t>(length));
    PyMem_Free(text);
    return native;
#else
    PyObject* converted = nullptr;
    if (!PyUnicode_FSConverter(path.ptr(), &converted)) {
        throw py::error_already_set();
    }
    auto owner = py::reinterpret_steal<py::object>(converted);
    return platform::NativePath(PyBytes_AS_STRING(converted), static_cast<std::size_t>(PyBytes_GET_SIZE(converted)));
#endif
}

// A path or name in the system's form as str; on POSIX as os.fsdecode()
// gives it, undecodable bytes surviving as lone surrogates.
inline py::str native_name_text(platform::NativeName name)
{
#ifdef _WIN32
    PyObject* text = PyUnicode_FromWideChar(name.data(), static_cast<Py_ssize_t>(name.size()));
#else
    PyObject* text = PyUnicode_DecodeFSDefaultAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
#endif
    return steal_or_throw<py::str>(text);
}

}
