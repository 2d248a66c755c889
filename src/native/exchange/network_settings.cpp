#include "exchange/network_settings.hpp"

#include "capi/new_reference.hpp"
#include "capi/print_and_raise.hpp"
#include "capi/text.hpp"

#include <cmath>
#include <initializer_list>

namespace pixelmend {

namespace {

// The process environment itself, not the module's `os`: that name is the
// seam where callers put a stand-in for the file system, and such a stand-in
// need not know about the environment.
py::module_ real_os()
{
    return py::module_::import("os");
}

// The variable's value, or null when it is unset or empty.
py::object variable(const py::module_& os, const char* name)
{
    py::object value = os.attr("environ").attr("get")(name);
    if (value.is_none() || !is_true(value)) {
        return {};
    }
    return value;
}

// The variable's value, or null only when it is unset: an empty value of a
// count is a mistake to point out, not a default.
py::object given_variable(const py::module_& os, const char* name)
{
    py::object value = os.attr("environ").attr("get")(name);
    return value.is_none() ? py::object() : value;
}

[[noreturn]] void refuse(const char* name, const char* expected, const py::object& value)
{
    raise_exception(PyExc_ValueError,
                    concat({py::str(name), py::str(expected), py::str(", not "), py::repr(value)}));
}

bool is_one_of(const py::object& word, std::initializer_list<const char*> choices)
{
    for (const char* choice : choices) {
        if (PyUnicode_Check(word.ptr()) && PyUnicode_CompareWithASCIIString(word.ptr(), choice) == 0) {
            return true;
        }
    }
    return false;
}

py::object verify_setting(const py::module_& os)
{
    py::object value = variable(os, "PIXELMEND_VERIFY");
    if (!value) {
        return py::bool_(false);
    }
    const py::object word = value.attr("strip")().attr("lower")();
    if (is_one_of(word, {"1", "true", "yes"})) {
        return py::bool_(true);
    }
    if (is_one_of(word, {"0", "false", "no"})) {
        return py::bool_(false);
    }
    const py::object path = os.attr("path");
    if (is_true(path.attr("isfile")(value)) || is_true(path.attr("isdir")(value))) {
        return value;
    }
    refuse("PIXELMEND_VERIFY",
           " must be 1, true, yes, 0, false, no or the path of a CA bundle file or certificate directory", value);
}

// The socket layer counts a timeout in milliseconds in a C int: past
// 2147483.647 seconds Windows refuses it and Linux wraps it round (4294967.396
// seconds waits a tenth of a second); from about 9.2e9 seconds it overflows
// the interpreter's clock. A million seconds, over eleven days, is more than
// any service job needs.
constexpr double longest_timeout = 1'000'000;

py::dict timeout_setting(const py::module_& os)
{
    constexpr const char* expected = " must be a positive number of seconds, at most 1000000";
    py::dict keywords;
    py::object value = variable(os, "PIXELMEND_TIMEOUT");
    if (!value) {
        return keywords;
    }
    const auto seconds = steal_catching<py::float_>(PyFloat_FromString(value.ptr()), PyExc_ValueError);
    if (!seconds) {
        refuse("PIXELMEND_TIMEOUT", expected, value);
    }
    const double parsed = PyFloat_AS_DOUBLE(seconds.ptr());
    if (!std::isfinite(parsed) || parsed <= 0 || parsed > longest_timeout) {
        refuse("PIXELMEND_TIMEOUT", expected, value);
    }
    keywords["timeout"] = seconds;
    return keywords;
}

constexpr const char* service_address = "https://api.pixelmend.ai";

bool is_loopback_host(const py::object& host)
{
    if (is_one_of(host.attr("lower")(), {"localhost", "localhost."})) {
        return true;
    }
    try {
        return is_true(py::module_::import("ipaddress").attr("ip_address")(host).attr("is_loopback"));
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_ValueError)) {
            throw;
        }
        return false;
    }
}

// Spaces and control characters have no place in an address; requests
// would quote some and send others.
bool has_blank_or_control(const py::object& value)
{
    const Py_ssize_t length = PyUnicode_GET_LENGTH(value.ptr());
    for (Py_ssize_t index = 0; index < length; ++index) {
        const Py_UCS4 character = PyUnicode_READ_CHAR(value.ptr(), index);
        if (character <= 0x20 || character == 0x7f || (character >= 0x80 && character < 0xa0)) {
            return true;
        }
    }
    return false;
}

// The port as urlsplit reads it; a port that is not a number from 0 to
// 65535 raises ValueError there.
bool has_valid_port(const py::object& parts)
{
    try {
        const py::object port = parts.attr("port");
        return true;
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_ValueError)) {
            throw;
        }
        return false;
    }
}

bool is_service_address(const py::object& value)
{
    if (has_blank_or_control(value)) {
        return false;
    }
    const py::object parts = py::module_::import("urllib.parse").attr("urlsplit")(value);
    const py::object scheme = parts.attr("scheme");
    const py::object host = parts.attr("hostname");
    if (host.is_none() || !is_true(host) || !has_valid_port(parts)) {
        return false;
    }
    if (is_true(parts.attr("query")) || is_true(parts.attr("fragment")) || !parts.attr("username").is_none()
        || !parts.attr("password").is_none() || is_true(value.attr("endswith")("?"))
        || is_true(value.attr("endswith")("#"))) {
        return false;
    }
    return is_one_of(scheme, {"https"}) || (is_one_of(scheme, {"http"}) && is_loopback_host(host));
}

// The address the endpoints' paths are joined to: PIXELMEND_BASE_URL, for a
// staging service, a proxy or a local stand-in, or the service's own. A
// path prefix is kept, without the slash that would double the endpoint's.
py::str base_url_setting(const py::module_& os)
{
    py::object value = given_variable(os, "PIXELMEND_BASE_URL");
    if (!value) {
        return py::str(service_address);
    }
    if (!PyUnicode_Check(value.ptr()) || !is_service_address(value)) {
        refuse("PIXELMEND_BASE_URL",
               " must be https://host[:port] with an optional path, or http:// for a loopback host, with no user,"
               " query or fragment",
               value);
    }
    return value.attr("rstrip")("/");
}

struct CountRange {
    const char* variable;
    const char* expected;
    int unset;
    int lowest;
    int highest;
};

constexpr CountRange downloads_range{"PIXELMEND_DOWNLOADS", " must be a whole number from 1 to 32", 0, 1, 32};
constexpr CountRange retries_range{"PIXELMEND_RETRIES", " must be a whole number from 0 to 10", 0, 0, 10};

// Decimal digits alone, with spaces around them as for a timeout: no sign, no
// fraction, no digits of other scripts that int() would take.
int count_setting(const py::module_& os, const CountRange& range)
{
    py::object value = given_variable(os, range.variable);
    if (!value) {
        return range.unset;
    }
    const py::object word = value.attr("strip")();
    const Py_ssize_t length = PyUnicode_Check(word.ptr()) ? PyUnicode_GET_LENGTH(word.ptr()) : 0;
    long count = 0;
    for (Py_ssize_t index = 0; index < length && count <= range.highest; ++index) {
        const Py_UCS4 digit = PyUnicode_READ_CHAR(word.ptr(), index);
        if (digit < '0' || digit > '9') {
            refuse(range.variable, range.expected, value);
        }
        count = count * 10 + static_cast<long>(digit - '0');
    }
    if (length == 0 || count < range.lowest || count > range.highest) {
        refuse(range.variable, range.expected, value);
    }
    return static_cast<int>(count);
}

}

NetworkSettings network_settings()
{
    const py::module_ os = real_os();
    return {verify_setting(os), timeout_setting(os), base_url_setting(os), count_setting(os, downloads_range),
            count_setting(os, retries_range)};
}

}
