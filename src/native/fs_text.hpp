#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <string_view>

namespace pixelmend {

namespace py = pybind11;

// os.fspath() followed by os.fsencode(): str, bytes or os.PathLike in, raw
// file system bytes out; TypeError/ValueError as those raise them.
inline std::string fs_path_bytes(py::handle path)
{
    PyObject* converted = nullptr;
    if (!PyUnicode_FSConverter(path.ptr(), &converted)) {
        throw py::error_already_set();
    }
    auto owner = py::reinterpret_steal<py::object>(converted);
    return std::string(PyBytes_AS_STRING(converted), static_cast<std::size_t>(PyBytes_GET_SIZE(converted)));
}

// os.fsdecode(): undecodable bytes survive as lone surrogates.
inline py::str fs_name_text(std::string_view name)
{
    auto text = py::reinterpret_steal<py::str>(
        PyUnicode_DecodeFSDefaultAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
    if (!text) {
        throw py::error_already_set();
    }
    return text;
}

}
