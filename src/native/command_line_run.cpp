#include "command_line_run.hpp"

#include <pythread.h>

namespace pixelmend {

namespace {

CommandLineRun* running = nullptr;
int exit_status = 0;

}

CommandLineRun::CommandLineRun(bool show_progress) : thread_(PyThread_get_thread_ident()), outer_(running)
{
    if (show_progress) {
        progress_.emplace();
    }
    exit_status = 1;
    running = this;
}

CommandLineRun::~CommandLineRun()
{
    running = outer_;
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
    if (running != nullptr && running->thread_ == PyThread_get_thread_ident()) {
        running->fail();
    }
}

Progress* active_progress()
{
    if (running == nullptr || running->thread_ != PyThread_get_thread_ident() || !running->progress_) {
        return nullptr;
    }
    return &*running->progress_;
}

int last_exit_status()
{
    return exit_status;
}

}
