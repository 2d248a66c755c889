#pragma once

#include "exchange/download_retries.hpp"
#include "exchange/network_settings.hpp"

#include <pybind11/pybind11.h>

namespace pixelmend {

namespace py = pybind11;

// How the wait before another try is waited.
class RetryWait {
public:
    RetryWait() = default;
    RetryWait(const RetryWait&) = delete;
    RetryWait& operator=(const RetryWait&) = delete;
    virtual ~RetryWait() = default;

    // Waits `seconds`; false when the downloads are being stopped meanwhile
    // and no further try is to be made.
    virtual bool wait(double seconds) = 0;
    // Whether a try may still start, asked just before each one.
    virtual bool may_start() { return true; }
};

// Whoever may have to cut short a body being read, from another thread.
class ResponseWatch {
public:
    ResponseWatch() = default;
    ResponseWatch(const ResponseWatch&) = delete;
    ResponseWatch& operator=(const ResponseWatch&) = delete;
    virtual ~ResponseWatch() = default;

    virtual void reading(py::handle response) = 0;
    virtual void read() noexcept = 0;
};

enum class FetchOutcome { saved, refused, stopped };

// What one result file's download goes through. `session` is the one whose
// get makes every try, or null for the package-level requests.get of the
// module's requests, looked up at each try; `watch` may be null.
struct ResultFetch {
    const py::dict& globals;
    py::handle session;
    const NetworkSettings& settings;
    const RetryPolicy& policy;
    RetryWait& wait;
    ResponseWatch* watch;
};

// Downloads `url` into the save directory under `filename`, through a staged
// result file, trying again as the policy allows: saved; refused, when the
// status is not 200 (or tells to try again when no try is left), for the
// caller to print its line; stopped, when the wait says so. A body cut short
// is resumed from the bytes staged with a Range request. Errors that end the
// download are raised, the last one when the tries are used up.
FetchOutcome fetch_result_file(const ResultFetch& fetch, const py::str& url, const py::object& save_dir,
                               py::handle filename);

// Waits with the interpreter's time.sleep, so Ctrl-C and gevent see it.
class SleepingWait final : public RetryWait {
public:
    bool wait(double seconds) override;
};

}
