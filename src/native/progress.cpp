#include "progress.hpp"

#include "api_boundary.hpp"
#include "counted_reader.hpp"
#include "text.hpp"

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

// The waiting thread's body: redraws the bar twice a second until the event
// is set. A bar that can no longer be drawn ends it quietly, as the display
// is no reason to trouble the thread's output.
PyObject* tick_until_stopped(PyObject*, PyObject* const* args, Py_ssize_t nargs)
{
    return guarded([&] {
        if (nargs != 2) {
            throw py::type_error("expected the stop event and the bar");
        }
        const py::handle stop = args[0];
        const py::handle bar = args[1];
        try {
            while (!is_true(stop.attr("wait")(0.5))) {
                bar.attr("refresh")();
            }
        } catch (py::error_already_set& error) {
            if (!error.matches(PyExc_Exception)) {
                throw;
            }
        }
        return py::object(py::none());
    });
}

PyMethodDef tick_def = {"tick_until_stopped",
                        reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(tick_until_stopped)),
                        METH_FASTCALL, nullptr};

}

py::object Progress::bar(py::dict keywords)
{
    close_bar();
    keywords["file"] = py::module_::import("sys").attr("stderr");
    keywords["dynamic_ncols"] = true;
    // tqdm otherwise learns to skip redraws from the pace of the first
    // updates, and a bar could stop short of where its count has got to.
    keywords["miniters"] = 1;
    bar_ = bar_type()(**keywords);
    return bar_;
}

py::object Progress::watch_upload(const py::object& encoder)
{
    finish();
    py::dict keywords;
    keywords["total"] = py::getattr(encoder, "len", py::none());
    keywords["desc"] = "Uploading";
    keywords["unit"] = "B";
    keywords["unit_scale"] = true;
    keywords["unit_divisor"] = 1024;
    py::object update = bar(keywords).attr("update");
    // tqdm redraws at most ten times a second; telling it every 16 KiB block
    // would cost more than drawing. A mebibyte at a time keeps the rate exact.
    UploadReport report{[update](Py_ssize_t bytes) { update(bytes); }, [this] { wait_for_reply(); },
                        Py_ssize_t{1} << 20};
    reader_ = make_counted_reader(encoder, std::move(report));
    return reader_;
}

// The upload bar ends with the last byte, so its time and rate are those of
// the transfer alone; the service's work is timed on a line of its own.
void Progress::wait_for_reply()
{
    py::dict keywords;
    keywords["total"] = py::none();
    keywords["desc"] = "Waiting for the service";
    keywords["bar_format"] = "{desc}: {elapsed}";
    py::object waiting = bar(keywords);
    py::module_ threading = py::module_::import("threading");
    py::object stop = threading.attr("Event")();
    auto tick = py::reinterpret_steal<py::object>(PyCFunction_New(&tick_def, nullptr));
    if (!tick) {
        throw py::error_already_set();
    }
    py::object ticker = threading.attr("Thread")(py::arg("target") = tick,
                                                 py::arg("args") = py::make_tuple(stop, waiting),
                                                 py::arg("name") = "pixelmend-progress", py::arg("daemon") = true);
    ticker.attr("start")();
    ticker_stop_ = std::move(stop);
    ticker_ = std::move(ticker);
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

// The waiting line's thread is stopped before its bar is closed.
void Progress::close_bar()
{
    if (ticker_) {
        py::object ticker = std::move(ticker_);
        py::object stop = std::move(ticker_stop_);
        stop.attr("set")();
        ticker.attr("join")();
    }
    if (bar_) {
        py::object done = std::move(bar_);
        done.attr("close")();
    }
}

void Progress::finish()
{
    if (reader_) {
        py::object reader = std::move(reader_);
        stop_reporting(reader);
    }
    close_bar();
}

}
