#include "capi/text.hpp"

namespace pixelmend {

namespace {

// The interpreter keeps one empty str; asking for it makes nothing.
py::str empty_text()
{
    return py::str("", 0);
}

}

py::str as_text(py::handle value)
{
    PyObject* text = PyObject_Format(value.ptr(), empty_text().ptr());
    if (text == nullptr) {
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::str>(text);
}

py::str concat(std::initializer_list<py::handle> parts)
{
    if (parts.size() == 2) {
        PyObject* joined = PyUnicode_Concat(parts.begin()[0].ptr(), parts.begin()[1].ptr());
        if (joined == nullptr) {
            throw py::error_already_set();
        }
        return py::reinterpret_steal<py::str>(joined);
    }
    py::list pieces;
    for (py::handle part : parts) {
        pieces.append(part);
    }
    PyObject* joined = PyUnicode_Join(empty_text().ptr(), pieces.ptr());
    if (joined == nullptr) {
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::str>(joined);
}

bool is_true(py::handle value)
{
    const int truth = PyObject_IsTrue(value.ptr());
    if (truth < 0) {
        throw py::error_already_set();
    }
    return truth != 0;
}

bool equals(py::handle value, py::handle other)
{
    const int equal = PyObject_RichCompareBool(value.ptr(), other.ptr(), Py_EQ);
    if (equal < 0) {
        throw py::error_already_set();
    }
    return equal != 0;
}

}
