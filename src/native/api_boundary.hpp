#pragma once

#include "os_error.hpp"
#include "platform.hpp"

#include <pybind11/pybind11.h>

#include <exception>
#include <new>

namespace pixelmend {

namespace py = pybind11;

// Runs `body` where C++ exceptions must not escape into the interpreter:
// each one becomes the matching Python exception and the caller gets NULL.
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
        PyErr_SetString(PyExc_RuntimeError, error.what());
    }
    return nullptr;
}

}
