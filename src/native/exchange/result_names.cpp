#include "exchange/result_names.hpp"

#include "capi/native_path.hpp"
#include "platform/platform.hpp"
#include "exchange/printable_names.hpp"
#include "capi/text.hpp"
#include "exchange/url_segment.hpp"

#include <algorithm>
#include <string>

namespace pixelmend {

namespace {

bool name_contains(PyObject* text, char32_t character)
{
    const Py_ssize_t found =
        PyUnicode_FindChar(text, static_cast<Py_UCS4>(character), 0, PyUnicode_GET_LENGTH(text), 1);
    if (found == -2) {
        throw py::error_already_set();
    }
    return found != -1;
}

std::u32string name_code_points(PyObject* text)
{
    std::u32string points;
    for (Py_ssize_t index = 0; index < PyUnicode_GET_LENGTH(text); ++index) {
        points.push_back(static_cast<char32_t>(PyUnicode_READ_CHAR(text, index)));
    }
    return points;
}

// A name from the reply becomes a file name under the save directory; names
// that could climb out of it, address another directory or a device, that
// the system would save under another name, or that would drive the
// terminal they are printed on (or spell no URL) are refused.
bool is_unsafe_name(py::handle filename)
{
    PyObject* name = filename.ptr();
    if (!PyUnicode_Check(name)) {
        return false;
    }
    const Py_ssize_t length = PyUnicode_GET_LENGTH(name);
    if (length == 0 || PyUnicode_CompareWithASCIIString(name, ".") == 0
        || PyUnicode_CompareWithASCIIString(name, "..") == 0) {
        return true;
    }
    for (char32_t character : platform::path_characters) {
        if (name_contains(name, character)) {
            return true;
        }
    }
    const std::u32string points = name_code_points(name);
    return std::any_of(points.begin(), points.end(), is_unprintable)
        || platform::is_special_file_name(points);
}

// A name the file system cannot hold (too long, or not spelt in its
// encoding) fails alone, as an unsafe one does, instead of ending the
// exchange when its file is saved.
bool fits_in(const py::object& save_dir, py::handle filename)
{
    if (!PyUnicode_Check(filename.ptr())) {
        return true;
    }
    try {
        return !platform::is_too_long(native_path(save_dir), native_path(filename));
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_UnicodeEncodeError)) {
            throw;
        }
        return false;
    }
}

}

bool is_refused_name(const py::object& save_dir, py::handle filename)
{
    return is_unsafe_name(filename) || !fits_in(save_dir, filename);
}

py::str result_file_url(const py::object& result, py::handle filename)
{
    return concat({as_text(result["path"]), py::str("/"), url_path_segment(as_text(filename))});
}

}
