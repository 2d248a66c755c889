#include "cli/command_line_run.hpp"

#include "capi/module_type.hpp"
#include "capi/value_object.hpp"

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
    std::vector<std::shared_ptr<RunRecord>> records;
    int last_exit_status = 0;
};

namespace {

// What the context variable refers to: the list, and a reference to the
// context that owns it, set once the variable holds it. Contexts are freed
// and their memory reused, so an address alone could take a new context for
// the old one; while the holder lives, its owner cannot go. The context
// refers back to it through its variables, a cycle the collector ends once
// both are gone. The owner goes first, as members go in reverse order.
struct RunsHolder {
    ContextRuns runs;
    py::object owner;
};

RunsHolder& holder_of(PyObject* object)
{
    return value_of<RunsHolder>(object);
}

int context_runs_traverse(PyObject* self, visitproc visit, void* arg) noexcept
{
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(holder_of(self).owner.ptr());
    return 0;
}

int context_runs_clear(PyObject* self) noexcept
{
    holder_of(self).owner = py::object();
    return 0;
}

PyType_Slot context_runs_slots[] = {
    {Py_tp_traverse, reinterpret_cast<void*>(context_runs_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(context_runs_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_value_object<RunsHolder>)},
    {0, nullptr},
};

PyType_Spec context_runs_spec = {
    .name = "pixelmend.main.ContextRuns",
    .basicsize = sizeof(ValueObject<RunsHolder>),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | own_instances_only,
    .slots = context_runs_slots,
};

// The context that the running code sees. A thread has none until a
// variable is first set in it.
PyObject* running_context()
{
    return PyThreadState_Get()->context;
}

// Anyone can reach the variable through contextvars.copy_context() and set
// it to anything; only a holder of this module's own type is a run here.
py::object visible_runs_owner(const MainState& state)
{
    PyObject* value = nullptr;
    if (PyContextVar_Get(state.runs_variable, nullptr, &value) < 0) {
        throw py::error_already_set();
    }
    auto owner = py::reinterpret_steal<py::object>(value);
    if (owner && !Py_IS_TYPE(owner.ptr(), reinterpret_cast<PyTypeObject*>(state.context_runs_type))) {
        return py::object();
    }
    return owner;
}

ContextRuns* runs_in(const py::object& owner)
{
    return &holder_of(owner.ptr()).runs;
}

// The holder of this context's own list, or null: none is visible, or the
// one visible was inherited from the context this one was copied from.
py::object own_runs_owner(const MainState& state)
{
    py::object owner = visible_runs_owner(state);
    if (owner && holder_of(owner.ptr()).owner.ptr() != running_context()) {
        return py::object();
    }
    return owner;
}

ContextRuns* own_runs(const MainState& state)
{
    const py::object owner = own_runs_owner(state);
    return owner ? runs_in(owner) : nullptr;
}

py::object make_runs_owner(const MainState& state)
{
    return make_value_object(state.context_runs_type, RunsHolder{});
}

// This context's list of calls, made and set the first time it runs one.
py::object runs_owner_of_this_context(const MainState& state)
{
    py::object owner = own_runs_owner(state);
    if (owner) {
        return owner;
    }
    owner = make_runs_owner(state);
    PyObject* token = PyContextVar_Set(state.runs_variable, owner.ptr());
    if (token == nullptr) {
        throw py::error_already_set();
    }
    Py_DECREF(token);
    holder_of(owner.ptr()).owner = py::reinterpret_borrow<py::object>(running_context());
    return owner;
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

CommandLineRun::CommandLineRun(const MainState& state, bool show_progress)
    : runs_owner_(runs_owner_of_this_context(state)), runs_(runs_in(runs_owner_)), record_(nullptr)
{
    auto record = std::make_shared<RunRecord>();
    if (show_progress) {
        record->progress.emplace(state.counted_reader_type);
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
                                    [this](const std::shared_ptr<RunRecord>& record) { return record.get() == record_; });
    if (found != records.rend()) {
        // Taken out before it goes, as its display's close runs Python code.
        const std::shared_ptr<RunRecord> ended = std::move(*found);
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

std::shared_ptr<RunRecord> current_run_record(const MainState& state)
{
    ContextRuns* runs = own_runs(state);
    if (runs == nullptr || runs->records.empty()) {
        return nullptr;
    }
    return runs->records.back();
}

Progress* active_progress(const MainState& state)
{
    const std::shared_ptr<RunRecord> record = current_run_record(state);
    if (record == nullptr || !record->progress) {
        return nullptr;
    }
    return &*record->progress;
}

int last_exit_status(const MainState& state)
{
    ContextRuns* runs = own_runs(state);
    return runs != nullptr ? runs->last_exit_status : 0;
}

PyObject* new_context_runs_type(PyObject* module)
{
    return new_module_type(module, &context_runs_spec);
}

}
