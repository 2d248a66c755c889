#include "cli/progress.hpp"

#include "capi/api_boundary.hpp"
#include "cli/counted_reader.hpp"
#include "capi/fastcall_method.hpp"
#include "capi/new_reference.hpp"
#include "capi/text.hpp"

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
PyObject* tick_until_stopped(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept
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

PyMethodDef tick_def = {"tick_until_stopped", fastcall_method<tick_until_stopped>(), METH_FASTCALL, nullptr};

// The size shutil.get_terminal_size() falls back to when the terminal has
// none: the environment's COLUMNS or LINES, else 80 by 24.
py::object fallback_size(const char* variable, long standard)
{
    py::object text = py::module_::import("os").attr("environ").attr("get")(variable, "");
    const py::object size = steal_catching(PyNumber_Long(text.ptr()), PyExc_ValueError);
    if (!size) {
        return py::int_(standard);
    }
    return size > py::int_(0) ? size : py::int_(standard);
}

// A terminal that reports no width (a bare pseudo-terminal, some CI runners)
// would get bars of no width, all drawn as empty lines.
bool has_no_width(const py::object& stream)
{
    try {
        const py::object size = py::module_::import("os").attr("get_terminal_size")(stream.attr("fileno")());
        return !is_true(size.attr("columns"));
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_Exception)) {
            throw;
        }
        return false;
    }
}

}

template <typename Drawing>
void Progress::draw(Drawing&& drawing)
{
    if (off_) {
        return;
    }
    try {
        drawing();
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_Exception)) {
            throw;
        }
        switch_off();
    }
}

// The bar is disabled before it is let go, so that tqdm's own close on
// collection does not try the terminal again; the upload reader goes on
// reading for requests, telling nobody.
void Progress::switch_off() noexcept
{
    off_ = true;
    py::error_scope keep_pending_error;
    try {
        if (reader_) {
            stop_reporting(reader_);
        }
        stop_ticker();
        if (bar_) {
            py::object gone = std::move(bar_);
            gone.attr("disable") = true;
        }
    } catch (py::error_already_set&) {
        PyErr_Clear();
    }
    bar_ = py::object();
    ticker_ = py::object();
    ticker_stop_ = py::object();
}

py::object Progress::bar(py::dict keywords)
{
    close_bar();
    py::object stream = py::module_::import("sys").attr("stderr");
    keywords["file"] = stream;
    if (has_no_width(stream)) {
        keywords["ncols"] = fallback_size("COLUMNS", 80);
        keywords["nrows"] = fallback_size("LINES", 24);
    } else {
        keywords["dynamic_ncols"] = true;
    }
    // tqdm otherwise learns to skip redraws from the pace of the first
    // updates, and a bar could stop short of where its count has got to.
    keywords["miniters"] = 1;
    bar_ = bar_type()(**keywords);
    return bar_;
}

py::object Progress::watch_upload(const py::object& encoder)
{
    finish();
    if (off_) {
        return encoder;
    }
    py::dict keywords;
    keywords["total"] = py::getattr(encoder, "len", py::none());
    keywords["desc"] = "Uploading";
    keywords["unit"] = "B";
    keywords["unit_scale"] = true;
    keywords["unit_divisor"] = 1024;
    py::object update;
    draw([&] { update = bar(keywords).attr("update"); });
    if (off_) {
        return encoder;
    }
    // tqdm redraws at most ten times a second; telling it every 16 KiB block
    // would cost more than drawing. A mebibyte at a time keeps the rate exact.
    UploadReport report{[this, update](Py_ssize_t bytes) { draw([&] { update(bytes); }); },
                        [this] { draw([&] { wait_for_reply(); }); }, Py_ssize_t{1} << 20};
    reader_ = make_counted_reader(reader_type_, encoder, std::move(report));
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
    auto tick = steal_or_throw(PyCFunction_New(&tick_def, nullptr));
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
    draw([&] { bar(keywords); });
}

void Progress::downloaded()
{
    draw([&] {
        if (bar_) {
            bar_.attr("update")(1);
        }
    });
}

void Progress::clear()
{
    draw([&] {
        if (bar_) {
            bar_.attr("clear")();
        }
    });
}

void Progress::redraw()
{
    draw([&] {
        if (bar_) {
            bar_.attr("refresh")();
        }
    });
}

// The waiting line's thread is stopped before its bar is closed.
void Progress::stop_ticker()
{
    if (ticker_) {
        py::object ticker = std::move(ticker_);
        py::object stop = std::move(ticker_stop_);
        stop.attr("set")();
        ticker.attr("join")();
    }
}

void Progress::close_bar()
{
    stop_ticker();
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
    draw([&] { close_bar(); });
}

}
