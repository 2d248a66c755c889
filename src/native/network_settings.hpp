#pragma once

#include <pybind11/pybind11.h>

namespace pixelmend {

namespace py = pybind11;

// How one operation talks to the service, from PIXELMEND_VERIFY,
// PIXELMEND_TIMEOUT and PIXELMEND_BASE_URL as they are when the operation
// starts, so a long-running program or a test can change them between calls.
struct NetworkSettings {
    // requests' `verify`: False, True, or the path of a CA bundle file or
    // certificate directory.
    py::object verify;
    // Empty, or {"timeout": seconds}: the keyword is left out when no timeout
    // is set, so stand-ins for requests that know only `stream` and `verify`
    // keep working.
    py::dict timeout;
    // The address the endpoints' paths follow, without a trailing slash.
    py::str base_url;
};

// Raises ValueError naming the variable when one holds anything else.
NetworkSettings network_settings();

}
