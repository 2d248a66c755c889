#pragma once

#include <Python.h>

// Each module keeps its state per module, and pybind11 its own per
// interpreter, so from 3.13 on an isolated interpreter with its own GIL
// loads them. CPython 3.12's isolated interpreters abort at exit after
// importing requests alone ("free(): invalid pointer", nothing of ours
// loaded), so there the modules keep refusing them with an ImportError.
#if PY_VERSION_HEX >= 0x030D0000
#define PIXELMEND_ISOLATED_INTERPRETERS Py_MOD_PER_INTERPRETER_GIL_SUPPORTED
#elif PY_VERSION_HEX >= 0x030C0000
#define PIXELMEND_ISOLATED_INTERPRETERS Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED
#endif

// The strong-reference look-ups of CPython 3.13, for the CPythons before it.
// A borrowed item can be freed by another thread that replaces it as soon as
// the interpreter has no GIL; these hand over a reference of our own.
#if PY_VERSION_HEX < 0x030D0000
inline int PyDict_GetItemRef(PyObject* dict, PyObject* key, PyObject** result)
{
    PyObject* item = PyDict_GetItemWithError(dict, key);
    Py_XINCREF(item);
    *result = item;
    if (item != nullptr) {
        return 1;
    }
    return PyErr_Occurred() ? -1 : 0;
}

inline PyObject* PyList_GetItemRef(PyObject* list, Py_ssize_t index)
{
    PyObject* item = PyList_GetItem(list, index);
    Py_XINCREF(item);
    return item;
}
#endif

#if defined(__SANITIZE_THREAD__)
#define PIXELMEND_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define PIXELMEND_THREAD_SANITIZER 1
#endif
#endif

#ifdef PIXELMEND_THREAD_SANITIZER
extern "C" void __tsan_acquire(void* address);
extern "C" void __tsan_release(void* address);
#endif

namespace pixelmend {

// The fields of one object that change together, guarded without the GIL by
// a critical section on the object. Like every critical section it is let go
// while the thread waits or leaves the interpreter, so nothing inside may
// block or call Python code; with the GIL, the GIL already does its work.
class ObjectLock {
public:
#ifdef Py_GIL_DISABLED
    explicit ObjectLock(PyObject* object) : object_(object)
    {
        PyCriticalSection_Begin(&section_, object);
        announce_acquired(object_);
    }
    ~ObjectLock()
    {
        announce_released(object_);
        PyCriticalSection_End(&section_);
    }
#else
    explicit ObjectLock(PyObject*) noexcept {}
#endif
    ObjectLock(const ObjectLock&) = delete;
    ObjectLock& operator=(const ObjectLock&) = delete;

#ifdef Py_GIL_DISABLED
private:
    // ThreadSanitizer cannot see into the interpreter's locks when the
    // interpreter is not built with it; a sanitized build of ours tells it
    // what the critical section orders.
#ifdef PIXELMEND_THREAD_SANITIZER
    static void announce_acquired(void* address) { __tsan_acquire(address); }
    static void announce_released(void* address) { __tsan_release(address); }
#else
    static void announce_acquired(void*) noexcept {}
    static void announce_released(void*) noexcept {}
#endif

    PyObject* object_;
    PyCriticalSection section_;
#endif
};

}
