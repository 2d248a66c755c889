#pragma once

#include "capi/gil_released.hpp"
#include "capi/native_path.hpp"
#include "platform/platform.hpp"

#include <pybind11/pybind11.h>

#include <cerrno>

namespace pixelmend {

namespace py = pybind11;

// The one place where a system error code becomes OSError (or the subclass
// its code maps to, such as FileNotFoundError), with `filename` attached.
inline void set_os_error(platform::ErrorCode code, py::handle filename) noexcept
{
#ifdef _WIN32
    PyErr_SetExcFromWindowsErrWithFilenameObject(PyExc_OSError, static_cast<int>(code), filename.ptr());
#else
    errno = code;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filename.ptr());
#endif
}

inline void set_os_error(const platform::SystemError& error) noexcept
{
    try {
        set_os_error(error.code(), native_name_text(error.path()));
    } catch (py::error_already_set& conversion) {
        conversion.restore();
    }
}

[[noreturn]] inline void throw_os_error(const platform::SystemError& error)
{
    set_os_error(error);
    throw py::error_already_set();
}

// Runs a call into the platform layer without the GIL, so other threads run
// while it blocks; its failure comes back as the matching OSError.
template <typename Call>
auto unlocked_os_call(Call&& call) -> decltype(call())
{
    try {
        GilReleased released;
        return call();
    } catch (const platform::SystemError& error) {
        throw_os_error(error);
    }
}

}
