#include "capi/text.hpp"

#include "capi/new_reference.hpp"

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
    return steal_or_throw<py::str>(PyObject_Format(value.ptr(), empty_text().ptr()));
}

py::str concat(std::initializer_list<py::handle> parts)
{
    if (parts.size() == 2) {
        return steal_or_throw<py::str>(PyUnicode_Concat(parts.begin()[0].ptr(), parts.begin()[1].ptr()));
    }
    py::list pieces;
    for (py::handle part : parts) {
        pieces.append(part);
    }
    return steal_or_throw<py::str>(PyUnicode_Join(empty_text().ptr(), pieces.ptr()));
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
