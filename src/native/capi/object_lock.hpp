#pragma once

#include <Python.h>

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
