#include "cli/counted_reader.hpp"

#include "capi/api_boundary.hpp"
#include "capi/fastcall_method.hpp"
#include "capi/module_type.hpp"
#include "capi/new_reference.hpp"
#include "capi/object_lock.hpp"
#include "capi/value_object.hpp"

#include <functional>
#include <utility>

namespace pixelmend {

namespace {

// What one read has to tell, taken under the reader's lock and told after
// it: a report runs Python code, which must not run inside the lock. The
// callbacks are copies, so that reporting stopped meanwhile cannot destroy
// the one running.
struct PendingReport {
    std::function<void(Py_ssize_t)> sent;
    Py_ssize_t bytes = 0;
    std::function<void()> all_sent;

    void deliver() const
    {
        if (sent) {
            sent(bytes);
        }
        if (all_sent) {
            all_sent();
        }
    }
};

// The counters and the report change together, under the reader's lock.
struct CountedState {
    py::object source;
    py::object read;
    UploadReport report;
    PyThreadState* reporter = nullptr;
    Py_ssize_t in_flight = 0;
    Py_ssize_t unreported = 0;
    bool ended = false;

    PendingReport read_returned(Py_ssize_t size, bool on_reporter)
    {
        PendingReport pending;
        const bool at_end = size == 0;
        unreported += std::exchange(in_flight, size);
        if (!on_reporter) {
            return pending;
        }
        if (report.sent && (unreported >= report.batch || (at_end && unreported > 0))) {
            pending.bytes = std::exchange(unreported, 0);
            pending.sent = report.sent;
        }
        if (at_end && !ended && report.all_sent) {
            ended = true;
            pending.all_sent = report.all_sent;
        }
        return pending;
    }
};

CountedState& state_of(PyObject* self)
{
    return value_of<CountedState>(self);
}

py::object read_and_count(PyObject* self, PyObject* const* args, Py_ssize_t nargs)
{
    py::object read;
    {
        const ObjectLock lock(self);
        read = state_of(self).read;
    }
    auto chunk = steal_or_throw(PyObject_Vectorcall(read.ptr(), args, static_cast<size_t>(nargs), nullptr));
    const Py_ssize_t size = PyObject_Length(chunk.ptr());
    if (size < 0) {
        throw py::error_already_set();
    }
    PendingReport pending;
    {
        const ObjectLock lock(self);
        CountedState& state = state_of(self);
        pending = state.read_returned(size, state.reporter == PyThreadState_Get());
    }
    pending.deliver();
    return chunk;
}

PyObject* counted_reader_read(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept
{
    return guarded([&] { return read_and_count(self, args, nargs); });
}

PyObject* counted_reader_len(PyObject* self, void*) noexcept
{
    return guarded([&] { return py::object(state_of(self).source.attr("len")); });
}

PyMethodDef counted_reader_methods[] = {
    {"read", fastcall_method<counted_reader_read>(), METH_FASTCALL, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef counted_reader_getset[] = {
    {"len", counted_reader_len, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot counted_reader_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_value_object<CountedState>)},
    {Py_tp_methods, counted_reader_methods},
    {Py_tp_getset, counted_reader_getset},
    {0, nullptr},
};

// Readers come only from make_counted_reader; one made by calling the type
// would have no source to read.
PyType_Spec counted_reader_spec = {
    .name = "pixelmend.main.CountedReader",
    .basicsize = sizeof(ValueObject<CountedState>),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | own_instances_only,
    .slots = counted_reader_slots,
};

}

PyObject* new_counted_reader_type(PyObject* module)
{
    return new_module_type(module, &counted_reader_spec);
}

py::object make_counted_reader(py::handle type, py::object source, UploadReport report)
{
    py::object read = source.attr("read");
    return make_value_object(type, CountedState{std::move(source), std::move(read), std::move(report),
                                                PyThreadState_Get()});
}

void stop_reporting(py::handle reader)
{
    UploadReport stopped;
    {
        const ObjectLock lock(reader.ptr());
        std::swap(state_of(reader.ptr()).report, stopped);
    }
}

}
