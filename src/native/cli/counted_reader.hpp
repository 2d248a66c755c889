#pragma once

#include <pybind11/pybind11.h>

#include <functional>

namespace pixelmend {

namespace py = pybind11;

// What a counted reader tells as the body is sent: `sent` gets byte counts,
// in batches of at least `batch` bytes and once more at the end, so that a
// report per block of the upload does not slow it; `all_sent` is told once,
// when the source has no more data.
struct UploadReport {
    std::function<void(Py_ssize_t)> sent;
    std::function<void()> all_sent;
    Py_ssize_t batch;
};

// The counted reader's type, made for `module` as it executes; null with an
// exception set on failure.
PyObject* new_counted_reader_type(PyObject* module);

// A reader of `type` that passes read(size) on to `source` and counts the
// bytes handed over. The body is sent as it is read, so a new read means the
// bytes of the previous one have gone out: those are counted then, and the
// read that finds the end of the data means every byte has gone. Its `len`
// is the source's `len`. Only the thread that made it reports: the report
// drives that thread's display, which no other thread may touch; reads on
// other threads are counted and told by the next report.
py::object make_counted_reader(py::handle type, py::object source, UploadReport report);

// Stops the reader's reports: it goes on reading, telling nobody.
void stop_reporting(py::handle reader);

}
