#include "cli/command_line_report.hpp"

#include "cli/command_line_run.hpp"
#include "cli/progress.hpp"

#include <utility>

namespace pixelmend {

namespace {

// Shares the call's record, so the report stays sound should the call end
// on another greenlet of the context while the exchange still runs.
class CommandLineReport final : public ExchangeReport {
public:
    explicit CommandLineReport(std::shared_ptr<RunRecord> record) : record_(std::move(record)) {}

    py::object upload_body(const py::object& encoder) override
    {
        Progress* shown = progress();
        return shown != nullptr ? shown->watch_upload(encoder) : encoder;
    }

    void replied() override { finish_display(); }

    void downloads_started(py::handle filenames) override
    {
        if (Progress* shown = progress()) {
            shown->start_downloads(filenames);
        }
    }

    void downloaded() override
    {
        if (Progress* shown = progress()) {
            shown->downloaded();
        }
    }

    void failed(const std::function<void()>& show_line) override
    {
        record_->failed = true;
        if (!show_line) {
            return;
        }
        Progress* shown = progress();
        if (shown != nullptr) {
            shown->clear();
        }
        show_line();
        if (shown != nullptr) {
            shown->redraw();
        }
    }

    void finished() override { finish_display(); }

private:
    Progress* progress() const { return record_->progress ? &*record_->progress : nullptr; }

    void finish_display()
    {
        if (Progress* shown = progress()) {
            shown->finish();
        }
    }

    std::shared_ptr<RunRecord> record_;
};

}

std::unique_ptr<ExchangeReport> command_line_report(const MainState& state)
{
    std::shared_ptr<RunRecord> record = current_run_record(state);
    if (!record) {
        return std::make_unique<SilentReport>();
    }
    return std::make_unique<CommandLineReport>(std::move(record));
}

}
