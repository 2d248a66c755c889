#pragma once

#include "progress.hpp"

#include <optional>

namespace pixelmend {

// The one call of main(): whether its work got done, and its progress
// display while it runs. The operations it calls report here what they
// print as failures; operations called from anywhere else (the library, or
// another thread meanwhile) report nothing and show no progress. The state
// is the thread's; the module does not support several interpreters.
class CommandLineRun {
public:
    explicit CommandLineRun(bool show_progress);
    CommandLineRun(const CommandLineRun&) = delete;
    CommandLineRun& operator=(const CommandLineRun&) = delete;
    ~CommandLineRun();

    void fail() { failed_ = true; }
    // Ends the call with the exit status it has earned, 1 if anything
    // failed and 0 otherwise, and raises the audit event
    // "pixelmend.main.exit_status" with it. A call that ends with an
    // exception keeps 1 and raises no event.
    void conclude();

private:
    friend void note_failure();
    friend Progress* active_progress();

    bool failed_ = false;
    std::optional<Progress> progress_;
    CommandLineRun* outer_;
};

// Marks the running command-line call, if this thread runs one, as failed.
void note_failure();

// The running command-line call's progress display on this thread, or null.
Progress* active_progress();

// The exit status of this thread's last command-line call: 0 when it did
// its work, 1 when it did not (or has not finished).
int last_exit_status();

}
