#pragma once

#include <pybind11/pybind11.h>

namespace pixelmend {

namespace py = pybind11;

// The command line's progress display on standard error, drawn by tqdm, in
// three phases: bytes handed over of the body's length; once the last byte
// has gone, the time spent waiting for the service's reply; then result
// files downloaded of the total. tqdm is imported only when a display is made.
// The display is never a reason for the work to fail: an error raised while
// drawing (a terminal whose other end has gone, say) switches it off for the
// rest of the call, and the call goes on as with no terminal.
class Progress {
public:
    // `reader_type` is the counted reader's type of the module that shows it.
    explicit Progress(py::handle reader_type) : reader_type_(py::reinterpret_borrow<py::object>(reader_type)) {}
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;
    ~Progress();

    // The upload body that requests reads: `encoder` itself, its bytes
    // counted as they are handed over, towards the encoder's `len`.
    py::object watch_upload(const py::object& encoder);
    void start_downloads(py::handle filenames);
    void downloaded();
    // A line printed on a terminal shared with the bar would be drawn into
    // it; the bar is cleared before and redrawn after.
    void clear();
    void redraw();
    void finish();

private:
    template <typename Drawing>
    void draw(Drawing&& drawing);
    void switch_off() noexcept;
    py::object bar(py::dict keywords);
    void wait_for_reply();
    void stop_ticker();
    void close_bar();

    py::object reader_type_;
    bool off_ = false;
    py::object bar_;
    py::object reader_;
    // While the service works, nothing else draws: a thread redraws the
    // waiting line so that its elapsed time moves.
    py::object ticker_;
    py::object ticker_stop_;
};

}
