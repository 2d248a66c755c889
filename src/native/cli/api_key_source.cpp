#include "cli/api_key_source.hpp"

#include "capi/module_globals.hpp"
#include "capi/new_reference.hpp"
#include "cli/terminal.hpp"
#include "capi/text.hpp"

#include <algorithm>

namespace pixelmend {

namespace {

// A key longer than any real one is a mistaken redirect (a photo, a device
// that never ends) and is not read further.
constexpr Py_ssize_t longest_key = 4096;

constexpr const char* not_text = "The API key is not valid UTF-8 text.";
constexpr const char* too_long = "The API key on standard input is longer than 4096 characters.";

// The line up to its first line end: "\n", "\r\n" or a lone "\r", as a
// text layer with universal newlines would split it on every platform. A
// str line is cut with str, a bytes line with bytes.
py::object before_line_end(const py::object& line)
{
    const bool is_bytes = PyBytes_Check(line.ptr());
    Py_ssize_t end = PyObject_Length(line.ptr());
    if (end < 0) {
        throw py::error_already_set();
    }
    for (const char* mark : {"\n", "\r"}) {
        const py::object found =
            line.attr("find")(is_bytes ? py::object(py::bytes(mark)) : py::object(py::str(mark)));
        end = std::min(end, found.cast<Py_ssize_t>() < 0 ? end : found.cast<Py_ssize_t>());
    }
    return line[py::slice(0, end, 1)];
}

// The line as the text layer would decode it.
py::object decoded(const py::object& stream, const py::object& line)
{
    if (!PyBytes_Check(line.ptr())) {
        return line;
    }
    py::object encoding = py::getattr(stream, "encoding", py::none());
    py::object errors = py::getattr(stream, "errors", py::none());
    return line.attr("decode")(encoding.is_none() ? py::str("utf-8") : encoding,
                               errors.is_none() ? py::str("strict") : errors);
}

// The first line of a piped standard input, without its line end, read no
// further than one character past the longest key. The text layer decodes a
// whole block of the pipe at once, so bytes after the key's line (binary
// data, a file piped whole) would refuse a good key: the line is read as
// bytes from the binary layer where there is one, as many as the longest key
// can take in UTF-8, and only it is decoded.
ApiKey first_line(const py::object& stream)
{
    const py::object binary = py::getattr(stream, "buffer", py::none());
    const Py_ssize_t limit = binary.is_none() ? longest_key : 4 * longest_key;
    py::object line;
    try {
        line = (binary.is_none() ? stream : binary).attr("readline")(limit + 2);
        line = before_line_end(line);
        if (PyObject_Length(line.ptr()) > limit) {
            return {py::str(""), too_long};
        }
        line = decoded(stream, line);
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_UnicodeDecodeError)) {
            throw;
        }
        return {py::str(""), not_text};
    }
    if (PyObject_Length(line.ptr()) > longest_key) {
        return {py::str(""), too_long};
    }
    return {line};
}

// Ctrl-D at the prompt leaves the cursor after it; the line is ended there
// so that what is printed next starts on its own.
ApiKey typed_at_prompt()
{
    try {
        return {py::module_::import("getpass").attr("getpass")("API key: ")};
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_EOFError)) {
            throw;
        }
        py::object standard_error = py::module_::import("sys").attr("stderr");
        if (!standard_error.is_none()) {
            py::print(py::arg("file") = standard_error, py::arg("flush") = true);
        }
        return {py::str("")};
    }
}

ApiKey key_from_environment_or_input(const py::dict& globals)
{
    py::object from_environment = lookup_global(globals, "os").attr("environ").attr("get")("PIXELMEND_API_KEY", "");
    if (is_true(from_environment)) {
        return {from_environment};
    }
    py::object stream = py::module_::import("sys").attr("stdin");
    if (stream.is_none()) {
        return {py::str("")};
    }
    if (!is_terminal(stream)) {
        return first_line(stream);
    }
    return typed_at_prompt();
}

// Undecodable bytes reach us as lone surrogates (the environment, a pipe or
// an argument under the C locale); sent, they would fail with an error that
// quotes the key.
bool is_encodable(const py::object& key)
{
    if (!PyUnicode_Check(key.ptr())) {
        return true;
    }
    const py::object encoded = steal_catching(PyUnicode_AsUTF8String(key.ptr()), PyExc_UnicodeEncodeError);
    return static_cast<bool>(encoded);
}

}

ApiKey api_key_of(const py::dict& globals, py::object given)
{
    ApiKey found = equals(given, py::str("-")) ? key_from_environment_or_input(globals) : ApiKey{std::move(given)};
    if (found.refusal == nullptr && !is_encodable(found.key)) {
        found.refusal = not_text;
    }
    return found;
}

}
