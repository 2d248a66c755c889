#pragma once

#include "exchange/exchange_report.hpp"
#include "exchange/network_settings.hpp"

#include <pybind11/pybind11.h>

namespace pixelmend {

namespace py = pybind11;

// Fetches the result files that `filenames` names, settings.downloads at a
// time, on threads of the `threading` module (greenlets under gevent) over
// one kept-alive session. Only the calling thread reports: each file as it
// is saved, and the "Failed to download" lines in the reply's order. The
// first error in that order is raised, unchanged, once the downloads under
// way have ended; none starts after it, and the files before it are saved.
// Ctrl-C while waiting stops every download and ends every thread before it
// goes on.
void download_in_parallel(const py::dict& globals, const py::object& result, const py::object& save_dir,
                          py::handle filenames, const NetworkSettings& settings, ExchangeReport& report);

}
