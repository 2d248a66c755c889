#pragma once

#include "capi/os_error.hpp"
#include "platform/platform.hpp"

#include <pybind11/pybind11.h>

#include <exception>
#include <new>

namespace pixelmend {

namespace py = pybind11;

// pybind11 sets up its shared state on first use, and its first use may well
// be the destructor or what() of an error_already_set, where failing to
// allocate that state (no memory) would throw out of a destructor and end the
// process. Each module sets it up while it is being imported instead, as
// pybind11's own modules do: that also tells pybind11 when an interpreter
// other than the main one loads us, after which it keeps that state per
// interpreter instead of sharing the first one's.
inline void prepare_error_handling()
{
    py::detail::ensure_internals();
}

// Runs `body` where C++ exceptions must not escape into the interpreter:
// each one becomes the matching Python exception and the caller gets NULL.
// Every entry point that the interpreter calls is noexcept and runs what can
// throw inside this one boundary.
template <typename Body>
PyObject* guarded(Body&& body) noexcept
{
    try {
        return body().release().ptr();
    } catch (py::error_already_set& error) {
        error.restore();
    } catch (const py::builtin_exception& error) {
        error.set_error();
    } catch (const platform::SystemError& error) {
        set_os_error(error);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        // pybind11 reports a failed allocation of a new object with a C++
        // exception while the interpreter's MemoryError is still set: that
        // error is the one the caller must see.
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_RuntimeError, error.what());
        }
    } catch (...) {
        // Nothing of ours throws anything else; should a library do so, the
        // caller still gets an exception rather than the process ending.
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
        }
    }
    return nullptr;
}

// The same for an entry point that returns a status: 0, or -1 with the
// exception set.
template <typename Body>
int guarded_status(Body&& body) noexcept
{
    PyObject* done = guarded([&] {
        body();
        return py::none();
    });
    Py_XDECREF(done);
    return done != nullptr ? 0 : -1;
}

}
