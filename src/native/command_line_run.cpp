#include "command_line_run.hpp"

namespace pixelmend {

namespace {

constexpr const char* record_capsule_name = "pixelmend.main.RunRecord";

// Made on first use and kept for the process, like the interned names; the
// module is not loaded into several interpreters.
PyObject* context_variable(PyObject*& variable, const char* name, PyObject* default_value)
{
    if (variable == nullptr) {
        variable = PyContextVar_New(name, default_value);
        if (variable == nullptr) {
            throw py::error_already_set();
        }
    }
    return variable;
}

PyObject* current_run_variable()
{
    static PyObject* variable = nullptr;
    return context_variable(variable, "pixelmend.main.current_run", nullptr);
}

PyObject* exit_status_variable()
{
    static PyObject* variable = nullptr;
    return context_variable(variable, "pixelmend.main.exit_status", nullptr);
}

void delete_record(PyObject* capsule)
{
    delete static_cast<RunRecord*>(PyCapsule_GetPointer(capsule, record_capsule_name));
}

py::object make_owner(RunRecord* record)
{
    PyObject* capsule = PyCapsule_New(record, record_capsule_name, delete_record);
    if (capsule == nullptr) {
        delete record;
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::object>(capsule);
}

py::object context_value(PyObject* variable)
{
    PyObject* value = nullptr;
    if (PyContextVar_Get(variable, nullptr, &value) < 0) {
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::object>(value);
}

RunRecord* current_record()
{
    const py::object owner = context_value(current_run_variable());
    if (!owner || owner.is_none()) {
        return nullptr;
    }
    return static_cast<RunRecord*>(PyCapsule_GetPointer(owner.ptr(), record_capsule_name));
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

CommandLineRun::CommandLineRun(bool show_progress) : record_(new RunRecord), owner_(make_owner(record_))
{
    if (show_progress) {
        record_->progress.emplace();
    }
    PyObject* token = PyContextVar_Set(current_run_variable(), owner_.ptr());
    if (token == nullptr) {
        throw py::error_already_set();
    }
    token_ = py::reinterpret_steal<py::object>(token);
}

// The context is the one the call started in (a C frame does not move
// between contexts), so the token always fits; the record itself lives on
// while anything still holds it.
CommandLineRun::~CommandLineRun()
{
    py::error_scope keep_pending_error;
    if (PyContextVar_Reset(current_run_variable(), token_.ptr()) < 0) {
        PyErr_Clear();
    }
}

void CommandLineRun::set_exit_status(int status)
{
    py::int_ value(status);
    PyObject* token = PyContextVar_Set(exit_status_variable(), value.ptr());
    if (token == nullptr) {
        throw py::error_already_set();
    }
    Py_DECREF(token);
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
// record the status is reported as unraisable instead.
void CommandLineRun::abandon(int status)
{
    try {
        if (record_->progress) {
            record_->progress->finish();
        }
        set_exit_status(status);
    } catch (py::error_already_set& failure) {
        failure.discard_as_unraisable("recording the exit status of pixelmend.main.main");
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
    const py::object status = context_value(exit_status_variable());
    if (!status) {
        return 0;
    }
    return status.cast<int>();
}

}
