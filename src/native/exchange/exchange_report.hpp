#pragma once

#include "capi/print_and_raise.hpp"
#include "exchange/printable_names.hpp"
#include "capi/text.hpp"

#include <pybind11/pybind11.h>

#include <functional>
#include <memory>

namespace pixelmend {

namespace py = pybind11;

struct MainState;

// What one exchange tells its caller as it goes. The command line draws its
// progress from it and learns whether the work got done; a library call is
// told nothing. Only the thread that runs the exchange reports, never the
// threads that download for it.
class ExchangeReport {
public:
    ExchangeReport() = default;
    ExchangeReport(const ExchangeReport&) = delete;
    ExchangeReport& operator=(const ExchangeReport&) = delete;
    virtual ~ExchangeReport() = default;

    // The upload body that requests reads: the encoder itself, or a reader
    // that watches it being read.
    virtual py::object upload_body(const py::object& encoder) = 0;
    // The reply to the upload has arrived.
    virtual void replied() = 0;
    virtual void downloads_started(py::handle filenames) = 0;
    virtual void downloaded() = 0;
    // Part of the work is not done: an image that does not exist, or a
    // result file that was not fetched. `show_line`, when given, prints the
    // line that says so; a display on the same terminal makes way for it.
    virtual void failed(const std::function<void()>& show_line) = 0;
    virtual void finished() = 0;
};

// The report of a call that nobody watches.
class SilentReport final : public ExchangeReport {
public:
    py::object upload_body(const py::object& encoder) override { return encoder; }
    void replied() override {}
    void downloads_started(py::handle) override {}
    void downloaded() override {}
    void failed(const std::function<void()>& show_line) override
    {
        if (show_line) {
            show_line();
        }
    }
    void finished() override {}
};

// A result file was not fetched: its line, printed with the `print` of the
// module's namespace, says so.
inline void report_failed_download(ExchangeReport& report, const py::dict& globals, py::handle filename)
{
    report.failed([&] { print_line(globals, concat({py::str("Failed to download "), printable(as_text(filename))})); });
}

// Makes the report of an exchange starting in the running context.
using ExchangeReportMaker = std::unique_ptr<ExchangeReport> (*)(const MainState& state);

}
