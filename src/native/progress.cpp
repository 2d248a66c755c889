#include "progress.hpp"

#include "counted_reader.hpp"

namespace pixelmend {

Progress::~Progress()
{
    py::error_scope keep_pending_error;
    try {
        finish();
    } catch (py::error_already_set&) {
        PyErr_Clear();
    }
}

namespace {

// tqdm starts a monitor thread for every class whose monitor_interval is
// set; the thread only retunes bars that tqdm iterates itself, while ours are
// told by update(), and having it alive slowed a 1 GiB download by several
// per cent. A subclass with the interval at 0 keeps it from starting.
py::object bar_type()
{
    py::dict attributes;
    attributes["monitor_interval"] = 0;
    auto type = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyType_Type));
    return type("ProgressBar", py::make_tuple(py::module_::import("tqdm").attr("tqdm")), attributes);
}

}

py::object Progress::bar(py::dict keywords)
{
    finish();
    keywords["file"] = py::module_::import("sys").attr("stderr");
    keywords["dynamic_ncols"] = true;
    bar_ = bar_type()(**keywords);
    return bar_;
}

py::object Progress::watch_upload(const py::object& encoder)
{
    py::dict keywords;
    keywords["total"] = py::getattr(encoder, "len", py::none());
    keywords["desc"] = "Uploading";
    keywords["unit"] = "B";
    keywords["unit_scale"] = true;
    keywords["unit_divisor"] = 1024;
    py::object upload_bar = bar(keywords);
    // tqdm redraws at most ten times a second; telling it every 16 KiB block
    // would cost more than drawing. A mebibyte at a time keeps the rate exact.
    return make_counted_reader(encoder, upload_bar.attr("update"), Py_ssize_t{1} << 20);
}

void Progress::start_downloads(py::handle filenames)
{
    py::dict keywords;
    const Py_ssize_t total = PyObject_Length(filenames.ptr());
    if (total < 0) {
        PyErr_Clear();
        keywords["total"] = py::none();
    } else {
        keywords["total"] = total;
    }
    keywords["desc"] = "Downloading";
    keywords["unit"] = "file";
    bar(keywords);
}

void Progress::downloaded()
{
    if (bar_) {
        bar_.attr("update")(1);
    }
}

void Progress::clear()
{
    if (bar_) {
        bar_.attr("clear")();
    }
}

void Progress::redraw()
{
    if (bar_) {
        bar_.attr("refresh")();
    }
}

void Progress::finish()
{
    if (bar_) {
        py::object done = std::move(bar_);
        done.attr("close")();
    }
}

}
