#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <optional>
#include <random>

namespace pixelmend {

namespace py = pybind11;

// Which failures of a result file's download are worth another try
// (PIXELMEND_RETRIES), and how long to wait before it.
class RetryPolicy {
public:
    // The transient errors are those of `requests`, the module's, looked up
    // only when there are tries to make.
    RetryPolicy(int retries, const py::dict& globals);

    // Whether another try may follow the `tries_made` made so far.
    bool may_retry(int tries_made) const noexcept { return tries_made <= retries_; }
    // A failed, reset or timed-out connection, or a body cut short of its
    // length. Not a TLS failure: a certificate that does not verify will not
    // verify on the next try.
    bool is_transient(const py::error_already_set& error) const;

private:
    int retries_;
    py::object transient_errors_;
    py::object tls_error_;
};

// 408, 429, 500, 502, 503 and 504: the service asks to be asked again.
bool is_transient_status(py::handle status);

// The longest Retry-After that is waited out; a longer one is not retried.
inline constexpr double longest_retry_after = 60;

// The response's Retry-After in seconds from now, given as whole seconds or
// as an HTTP date (a past date is 0); nothing when it gives neither.
std::optional<double> retry_after_seconds(const py::object& response);

// Full jitter: a random wait between 0 and min(8, 0.5 * 2^attempt) seconds,
// `attempt` counting the tries again from 0.
double backoff_seconds(int attempt, std::mt19937_64& generator);

// Whether a 206's Content-Range says the body starts at byte `offset`:
// "bytes B-E/T" or "bytes B-E/*" with B equal to it, E at least B and below T.
bool content_range_starts_at(const py::object& response, std::uint64_t offset);

}
