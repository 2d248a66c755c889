#include "exchange/upload_names.hpp"

#include "capi/capi_compat.hpp"
#include "capi/new_reference.hpp"
#include "capi/text.hpp"

namespace pixelmend {

namespace {

// The file name of a file entry, when it is text; null otherwise.
PyObject* file_name_of(PyObject* entry)
{
    PyObject* file_tuple = file_tuple_of(entry);
    if (file_tuple == nullptr || !PyUnicode_Check(PyTuple_GET_ITEM(file_tuple, 0))) {
        return nullptr;
    }
    return PyTuple_GET_ITEM(file_tuple, 0);
}

// Raises the error of encoding `name` as UTF-8, if it has one.
void encode_file_name(PyObject* name)
{
    if (PyUnicode_AsUTF8AndSize(name, nullptr) == nullptr) {
        throw py::error_already_set();
    }
}

[[noreturn]] void raise_naming(py::error_already_set& name_error, PyObject* name,
                               py::error_already_set& encoder_error)
{
    const py::object error = name_error.value();
    const auto quoted = steal_or_throw(PyObject_Repr(name));
    py::setattr(error, "reason", concat({as_text(error.attr("reason")), py::str(" in file name "), quoted}));
    PyException_SetCause(error.ptr(), encoder_error.value().inc_ref().ptr());
    PyException_SetContext(error.ptr(), encoder_error.value().inc_ref().ptr());
    throw name_error;
}

}

PyObject* file_tuple_of(PyObject* entry)
{
    if (!PyTuple_Check(entry) || PyTuple_GET_SIZE(entry) != 2) {
        return nullptr;
    }
    PyObject* value = PyTuple_GET_ITEM(entry, 1);
    if (!PyTuple_Check(value) || PyTuple_GET_SIZE(value) < 2) {
        return nullptr;
    }
    return value;
}

void raise_for_unencodable_file_name(py::handle fields, py::error_already_set& encoder_error)
{
    if (!PyList_Check(fields.ptr())) {
        throw encoder_error;
    }
    // The list came from a function anybody may rebind, and whoever holds it
    // may change it meanwhile: each entry is taken with a reference of our
    // own, and the length asked anew.
    for (Py_ssize_t i = 0; i < PyList_Size(fields.ptr()); ++i) {
        auto entry = py::reinterpret_steal<py::object>(PyList_GetItemRef(fields.ptr(), i));
        if (!entry) {
            PyErr_Clear();
            break;
        }
        PyObject* name = file_name_of(entry.ptr());
        if (name == nullptr) {
            continue;
        }
        try {
            encode_file_name(name);
        } catch (py::error_already_set& name_error) {
            if (!name_error.matches(PyExc_UnicodeEncodeError)) {
                throw;
            }
            raise_naming(name_error, name, encoder_error);
        }
    }
    throw encoder_error;
}

}
