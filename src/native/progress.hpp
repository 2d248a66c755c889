#pragma once

#include <pybind11/pybind11.h>

namespace pixelmend {

namespace py = pybind11;

// The command line's progress display on standard error, drawn by tqdm:
// bytes uploaded of the body's length, then result files downloaded of the
// total. tqdm is imported only when a display is made.
class Progress {
public:
    Progress() = default;
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;
    ~Progress();

    // The upload body that requests reads: `encoder` itself, each read
    // advancing a byte bar towards the encoder's `len`.
    py::object watch_upload(const py::object& encoder);
    void start_downloads(py::handle filenames);
    void downloaded();
    // A line printed on a terminal shared with the bar would be drawn into
    // it; the bar is cleared before and redrawn after.
    void clear();
    void redraw();
    void finish();

private:
    py::object bar(py::dict keywords);

    py::object bar_;
};

}
