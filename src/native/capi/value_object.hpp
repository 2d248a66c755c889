#pragma once

#include <pybind11/pybind11.h>

#include <new>
#include <type_traits>
#include <utility>

namespace pixelmend {

namespace py = pybind11;

// A Python object whose body is one C++ value, for a type whose spec gives
// sizeof(ValueObject<Value>) as its size and dealloc_value_object<Value> as
// its tp_dealloc.
template <typename Value>
struct ValueObject {
    PyObject_HEAD
    Value value;
};

template <typename Value>
Value& value_of(PyObject* object) noexcept
{
    return reinterpret_cast<ValueObject<Value>*>(object)->value;
}

// A new object of `type` holding `value`. Whatever can fail happens before
// the object exists: the caller builds the value, and moving it in cannot
// fail, so no object is ever left half made. A type with Py_TPFLAGS_HAVE_GC
// is tracked only once its value is whole, so the collector never traverses
// one that is not.
template <typename Value>
py::object make_value_object(py::handle type, Value value)
{
    static_assert(std::is_nothrow_move_constructible_v<Value>, "the value must move in without failing");
    auto* object_type = reinterpret_cast<PyTypeObject*>(type.ptr());
    const bool collected = PyType_IS_GC(object_type);
    auto* object = collected ? PyObject_GC_New(ValueObject<Value>, object_type)
                             : PyObject_New(ValueObject<Value>, object_type);
    if (object == nullptr) {
        throw py::error_already_set();
    }
    new (&object->value) Value(std::move(value));
    if (collected) {
        PyObject_GC_Track(object);
    }
    return py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(object));
}

// Untracks a collected object before its value goes, so that no collection
// (on any thread, without the GIL) traverses a value being destroyed; then
// destroys the value in place and frees the object.
template <typename Value>
void dealloc_value_object(PyObject* self) noexcept
{
    PyTypeObject* type = Py_TYPE(self);
    if (PyType_IS_GC(type)) {
        PyObject_GC_UnTrack(self);
    }
    value_of<Value>(self).~Value();
    type->tp_free(self);
    Py_DECREF(type);
}

}
