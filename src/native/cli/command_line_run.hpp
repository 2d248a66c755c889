#pragma once

#include "main/main_state.hpp"
#include "cli/progress.hpp"

#include <memory>
#include <optional>

namespace pixelmend {

// What one call of main() learns while it runs: whether its work got done,
// and its progress display.
struct RunRecord {
    bool failed = false;
    std::optional<Progress> progress;
};

struct ContextRuns;

// The scope of one call of main(). Its record lives on the heap, in the
// running context's list of calls (a thread, a greenlet, an asyncio task
// each has its own), never on the C stack, which greenlets swap in and out.
// The operations it calls report here what they print as failures, through
// the report they hold for the length of their exchange, which shares the
// record; operations called from any other context (the library, another
// thread or greenlet meanwhile) report nothing and show no progress.
class CommandLineRun {
public:
    CommandLineRun(const MainState& state, bool show_progress);
    CommandLineRun(const CommandLineRun&) = delete;
    CommandLineRun& operator=(const CommandLineRun&) = delete;
    ~CommandLineRun();

    void fail() { record_->failed = true; }
    // Ends the call with the exit status it has earned, 1 if anything
    // failed and 0 otherwise.
    void conclude();
    // Ends a call that an exception leaves, with `status`.
    void abandon(int status);

private:
    void set_exit_status(int status);

    py::object runs_owner_;
    ContextRuns* runs_;
    RunRecord* record_;
};

// The status of a call that `error` ends: that of argparse's SystemExit, or
// 1 for any other exception.
int exit_status_of(const py::error_already_set& error);

// The record of the innermost command-line call running in this context, or
// null.
std::shared_ptr<RunRecord> current_run_record(const MainState& state);

// The progress display of the command-line call running in this context, or
// null.
Progress* active_progress(const MainState& state);

// The exit status of the last command-line call that ended in this context:
// 0 when it did its work, 1 when it did not, 0 when there was none.
int last_exit_status(const MainState& state);

// The type of the object that holds one context's calls, made for `module`
// as it executes; null with an exception set on failure.
PyObject* new_context_runs_type(PyObject* module);

}
