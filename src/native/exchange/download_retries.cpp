#include "exchange/download_retries.hpp"

#include "capi/module_globals.hpp"
#include "capi/text.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <string_view>

namespace pixelmend {

RetryPolicy::RetryPolicy(int retries, const py::dict& globals) : retries_(retries)
{
    if (retries_ == 0) {
        return;
    }
    const py::object exceptions = lookup_global(globals, "requests").attr("exceptions");
    transient_errors_ = py::make_tuple(exceptions.attr("ConnectionError"), exceptions.attr("Timeout"),
                                       exceptions.attr("ChunkedEncodingError"));
    tls_error_ = exceptions.attr("SSLError");
}

bool RetryPolicy::is_transient(const py::error_already_set& error) const
{
    if (!transient_errors_) {
        return false;
    }
    return !error.matches(tls_error_) && error.matches(transient_errors_);
}

bool is_transient_status(py::handle status)
{
    for (int code : {408, 429, 500, 502, 503, 504}) {
        if (equals(status, py::int_(code))) {
            return true;
        }
    }
    return false;
}

namespace {

// The header's value as UTF-8 text, or nothing when it is missing or no text.
std::optional<std::string> header_text(const py::object& response, const char* name)
{
    const py::object value = response.attr("headers").attr("get")(name);
    if (!PyUnicode_Check(value.ptr())) {
        return std::nullopt;
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(value.ptr(), &size);
    if (text == nullptr) {
        PyErr_Clear();
        return std::nullopt;
    }
    return std::string(text, static_cast<std::size_t>(size));
}

std::string_view trimmed(std::string_view text)
{
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// Leading decimal digits of `text`, taken off it; nothing when there are none
// or they overflow.
std::optional<std::uint64_t> take_number(std::string_view& text)
{
    std::uint64_t number = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
    if (error != std::errc() || end == text.data()) {
        return std::nullopt;
    }
    text.remove_prefix(static_cast<std::size_t>(end - text.data()));
    return number;
}

bool take(std::string_view& text, char expected)
{
    if (text.empty() || text.front() != expected) {
        return false;
    }
    text.remove_prefix(1);
    return true;
}

bool is_decimal(std::string_view text)
{
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Seconds from now to an HTTP date, as the standard library parses one; a
// date without a zone is taken as UTC, as HTTP dates are.
std::optional<double> seconds_until(const std::string& date)
{
    const py::module_ datetime = py::module_::import("datetime");
    const py::object utc = datetime.attr("timezone").attr("utc");
    py::object when;
    try {
        when = py::module_::import("email.utils").attr("parsedate_to_datetime")(date);
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_TypeError) && !error.matches(PyExc_ValueError) && !error.matches(PyExc_IndexError)) {
            throw;
        }
        return std::nullopt;
    }
    if (when.attr("tzinfo").is_none()) {
        when = when.attr("replace")(py::arg("tzinfo") = utc);
    }
    const py::object left = when - datetime.attr("datetime").attr("now")(utc);
    return std::max(0.0, left.attr("total_seconds")().cast<double>());
}

}

std::optional<double> retry_after_seconds(const py::object& response)
{
    const std::optional<std::string> value = header_text(response, "Retry-After");
    if (!value) {
        return std::nullopt;
    }
    std::string_view text = trimmed(*value);
    if (is_decimal(text)) {
        const std::optional<std::uint64_t> seconds = take_number(text);
        return seconds ? static_cast<double>(*seconds) : longest_retry_after + 1;
    }
    return seconds_until(std::string(text));
}

double backoff_seconds(int attempt, std::mt19937_64& generator)
{
    const double longest = std::min(8.0, 0.5 * std::ldexp(1.0, std::min(attempt, 8)));
    return std::uniform_real_distribution<double>(0.0, longest)(generator);
}

bool content_range_starts_at(const py::object& response, std::uint64_t offset)
{
    const std::optional<std::string> value = header_text(response, "Content-Range");
    if (!value) {
        return false;
    }
    std::string_view text = trimmed(*value);
    constexpr std::string_view unit = "bytes ";
    if (text.size() < unit.size()
        || !std::equal(unit.begin(), unit.end(), text.begin(), [](char a, char b) {
               return a == (b >= 'A' && b <= 'Z' ? static_cast<char>(b - 'A' + 'a') : b);
           })) {
        return false;
    }
    text.remove_prefix(unit.size());
    const std::optional<std::uint64_t> first = take_number(text);
    if (!first || !take(text, '-')) {
        return false;
    }
    const std::optional<std::uint64_t> last = take_number(text);
    if (!last || *last < *first || !take(text, '/')) {
        return false;
    }
    if (text != "*") {
        const std::optional<std::uint64_t> total = take_number(text);
        if (!total || !text.empty() || *last >= *total) {
            return false;
        }
    }
    return *first == offset;
}

}
