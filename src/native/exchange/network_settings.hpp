#pragma once

#include <pybind11/pybind11.h>

namespace pixelmend {

namespace py = pybind11;

// How one operation talks to the service, from PIXELMEND_VERIFY,
// PIXELMEND_TIMEOUT, PIXELMEND_BASE_URL, PIXELMEND_DOWNLOADS and
// PIXELMEND_RETRIES as they are when the operation starts, so a long-running
// program or a test can change them between calls.
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
    // How many result files are fetched at a time over one kept-alive
    // session; 0 when unset, and each file is then fetched with its own
    // package-level requests.get, one after another.
    int downloads = 0;
    // How many times a result file's download is tried again after a
    // transient failure; 0, never, when unset.
    int retries = 0;
};

// Raises ValueError naming the variable when one holds anything else.
NetworkSettings network_settings();

}
