#include "command_line_run.hpp"

namespace pixelmend {

namespace {

// Each thread has its own chain of command-line calls, innermost first, and
// its own last exit status: calls on different threads never see each other.
thread_local CommandLineRun* innermost = nullptr;
thread_local int exit_status = 0;

}

CommandLineRun::CommandLineRun(bool show_progress) : outer_(innermost)
{
    if (show_progress) {
        progress_.emplace();
    }
    exit_status = 1;
    innermost = this;
}

// Unlinked from wherever it stands in its thread's chain, so that a call that
// ends out of order (an operation switching between greenlets on one thread)
// leaves no pointer to it behind.
CommandLineRun::~CommandLineRun()
{
    CommandLineRun** link = &innermost;
    while (*link != nullptr && *link != this) {
        link = &(*link)->outer_;
    }
    if (*link == this) {
        *link = outer_;
    }
}

void CommandLineRun::conclude()
{
    if (progress_) {
        progress_->finish();
    }
    exit_status = failed_ ? 1 : 0;
    // The entry points learn the outcome from this audit event, so the
    // module's namespace needs no name for it.
    if (PySys_Audit("pixelmend.main.exit_status", "i", exit_status) < 0) {
        throw py::error_already_set();
    }
}

void note_failure()
{
    if (innermost != nullptr) {
        innermost->fail();
    }
}

Progress* active_progress()
{
    if (innermost == nullptr || !innermost->progress_) {
        return nullptr;
    }
    return &*innermost->progress_;
}

int last_exit_status()
{
    return exit_status;
}

}
