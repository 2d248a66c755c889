#include "command_line_run.hpp"

#include <algorithm>
#include <memory>
#include <vector>

namespace pixelmend {

// The calls of main() running in one context, innermost last, and the
// status of the last one that ended there. A context variable holds it,
// set once per context: setting a context variable can crash the
// interpreter when memory runs out, so calls after the first set nothing.
// A copy of the context (an asyncio task, asyncio.to_thread) sees the same
// list but is not its owner, and makes its own.
struct ContextRuns {
    const PyObject* owner = nullptr;
    std::vector<std::unique_ptr<RunRecord>> records;
    int last_exit_status = 0;
};

namespace {

constexpr const char* runs_capsule_name = "pixelmend.main.ContextRuns";

// Made on first use and kept for the process, like the interned names; the
// module is not loaded into several interpreters.
PyObject* runs_variable()
{
    static PyObject* variable = nullptr;
    if (variable == nullptr) {
        variable = PyContextVar_New("pixelmend.main.command_line_runs", nullptr);
        if (variable == nullptr) {
            throw py::error_already_set();
        }
    }
    return variable;
}

// Compared, never followed: the context whose variables hold the list.
const PyObject* running_context()
{
    return PyThreadState_Get()->context;
}

py::object visible_runs_owner()
{
    PyObject* value = nullptr;
    if (PyContextVar_Get(runs_variable(), nullptr, &value) < 0) {
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::object>(value);
}

ContextRuns* runs_in(const py::object& owner)
{
    return static_cast<ContextRuns*>(PyCapsule_GetPointer(owner.ptr(), runs_capsule_name));
}

// The capsule of this context's own list, or null: none is visible, or the
// one visible was inherited from the context this one was copied from.
py::object own_runs_owner()
{
    py::object owner = visible_runs_owner();
    if (owner && runs_in(owner)->owner != running_context()) {
        return py::object();
    }
    return owner;
}

ContextRuns* own_runs()
{
    const py::object owner = own_runs_owner();
    return owner ? runs_in(owner) : nullptr;
}

void delete_runs(PyObject* capsule)
{
    delete static_cast<ContextRuns*>(PyCapsule_GetPointer(capsule, runs_capsule_name));
}

py::object make_runs_owner()
{
    auto runs = std::make_unique<ContextRuns>();
    PyObject* capsule = PyCapsule_New(runs.get(), runs_capsule_name, delete_runs);
    if (capsule == nullptr) {
        throw py::error_already_set();
    }
    runs.release();
    return py::reinterpret_steal<py::object>(capsule);
}

// This context's list of calls, made and set the first time it runs one.
py::object runs_owner_of_this_context()
{
    py::object owner = own_runs_owner();
    if (owner) {
        return owner;
    }
    owner = make_runs_owner();
    PyObject* token = PyContextVar_Set(runs_variable(), owner.ptr());
    if (token == nullptr) {
        throw py::error_already_set();
    }
    Py_DECREF(token);
    // A thread has no context until a variable is first set in it.
    runs_in(owner)->owner = running_context();
    return owner;
}

RunRecord* current_record()
{
    ContextRuns* runs = own_runs();
    if (runs == nullptr || runs->records.empty()) {
        return nullptr;
    }
    return runs->records.back().get();
}

// An exit request carries its status as argparse gives it: None is success,
// a number is itself, anything else (a message) is failure.
int status_of_exit_request(const py::error_already_set& error)
{
    py::object code = error.value().attr("code");
    if (code.is_none()) {
        return 0;
    }
    if (!PyLong_Check(code.ptr())) {
        return 1;
    }
    const long status = PyLong_AsLong(code.ptr());
    if (status == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return 1;
    }
    return static_cast<int>(status);
}

}

CommandLineRun::CommandLineRun(bool show_progress)
    : runs_owner_(runs_owner_of_this_context()), runs_(runs_in(runs_owner_)), record_(nullptr)
{
    auto record = std::make_unique<RunRecord>();
    if (show_progress) {
        record->progress.emplace();
    }
    record_ = record.get();
    runs_->records.push_back(std::move(record));
}

// Calls on greenlets of one context may end out of order, so the record is
// found wherever it stands.
CommandLineRun::~CommandLineRun()
{
    py::error_scope keep_pending_error;
    auto& records = runs_->records;
    const auto found = std::find_if(records.rbegin(), records.rend(),
                                    [this](const std::unique_ptr<RunRecord>& record) { return record.get() == record_; });
    if (found != records.rend()) {
        // Taken out before it goes, as its display's close runs Python code.
        const std::unique_ptr<RunRecord> ended = std::move(*found);
        records.erase(std::next(found).base());
    }
}

void CommandLineRun::set_exit_status(int status)
{
    runs_->last_exit_status = status;
    // The entry points learn the outcome from this audit event, so the
    // module's namespace needs no name for it.
    if (PySys_Audit("pixelmend.main.exit_status", "i", status) < 0) {
        throw py::error_already_set();
    }
}

void CommandLineRun::conclude()
{
    if (record_->progress) {
        record_->progress->finish();
    }
    set_exit_status(record_->failed ? 1 : 0);
}

// The exception on its way out is the one the caller must see; a failure to
// report the status is reported as unraisable instead.
void CommandLineRun::abandon(int status)
{
    try {
        if (record_->progress) {
            record_->progress->finish();
        }
        set_exit_status(status);
    } catch (py::error_already_set& failure) {
        failure.discard_as_unraisable("reporting the exit status of pixelmend.main.main");
    }
}

int exit_status_of(const py::error_already_set& error)
{
    return error.matches(PyExc_SystemExit) ? status_of_exit_request(error) : 1;
}

void note_failure()
{
    if (RunRecord* record = current_record()) {
        record->failed = true;
    }
}

Progress* active_progress()
{
    RunRecord* record = current_record();
    if (record == nullptr || !record->progress) {
        return nullptr;
    }
    return &*record->progress;
}

int last_exit_status()
{
    ContextRuns* runs = own_runs();
    return runs != nullptr ? runs->last_exit_status : 0;
}

}
