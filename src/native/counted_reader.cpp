#include "counted_reader.hpp"

#include "api_boundary.hpp"

#include <new>
#include <utility>

namespace pixelmend {

namespace {

struct CountedState {
    py::object source;
    py::object read;
    UploadReport report;
    Py_ssize_t in_flight = 0;
    Py_ssize_t unreported = 0;
    bool ended = false;

    void handed_over(Py_ssize_t bytes, bool at_end)
    {
        unreported += bytes;
        if (report.sent && (unreported >= report.batch || (at_end && unreported > 0))) {
            const Py_ssize_t reported = std::exchange(unreported, 0);
            report.sent(reported);
        }
    }

    void read_returned(Py_ssize_t size)
    {
        const bool at_end = size == 0;
        handed_over(std::exchange(in_flight, size), at_end);
        if (at_end && !std::exchange(ended, true) && report.all_sent) {
            report.all_sent();
        }
    }
};

struct CountedReaderObject {
    PyObject_HEAD
    CountedState state;
};

CountedState& state_of(PyObject* self)
{
    return reinterpret_cast<CountedReaderObject*>(self)->state;
}

py::object read_and_count(PyObject* self, PyObject* const* args, Py_ssize_t nargs)
{
    CountedState& state = state_of(self);
    PyObject* data = PyObject_Vectorcall(state.read.ptr(), args, static_cast<size_t>(nargs), nullptr);
    if (data == nullptr) {
        throw py::error_already_set();
    }
    auto chunk = py::reinterpret_steal<py::object>(data);
    const Py_ssize_t size = PyObject_Length(data);
    if (size < 0) {
        throw py::error_already_set();
    }
    state.read_returned(size);
    return chunk;
}

PyObject* counted_reader_read(PyObject* self, PyObject* const* args, Py_ssize_t nargs)
{
    return guarded([&] { return read_and_count(self, args, nargs); });
}

PyObject* counted_reader_len(PyObject* self, void*)
{
    return guarded([&] { return py::object(state_of(self).source.attr("len")); });
}

void counted_reader_dealloc(PyObject* self)
{
    state_of(self).~CountedState();
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyMethodDef counted_reader_methods[] = {
    {"read", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(counted_reader_read)), METH_FASTCALL,
     nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef counted_reader_getset[] = {
    {"len", counted_reader_len, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot counted_reader_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(counted_reader_dealloc)},
    {Py_tp_methods, counted_reader_methods},
    {Py_tp_getset, counted_reader_getset},
    {0, nullptr},
};

PyType_Spec counted_reader_spec = {
    "pixelmend.main.CountedReader", sizeof(CountedReaderObject), 0, Py_TPFLAGS_DEFAULT, counted_reader_slots,
};

// Made on first use, only by a command line that shows progress; kept for
// the life of the process like a static type.
py::handle counted_reader_type()
{
    static PyObject* type = nullptr;
    if (type == nullptr) {
        type = PyType_FromSpec(&counted_reader_spec);
        if (type == nullptr) {
            throw py::error_already_set();
        }
        // Readers come only from make_counted_reader; one made by calling
        // the type would have no source to read.
        reinterpret_cast<PyTypeObject*>(type)->tp_new = nullptr;
    }
    return type;
}

}

py::object make_counted_reader(py::object source, UploadReport report)
{
    auto* type = reinterpret_cast<PyTypeObject*>(counted_reader_type().ptr());
    auto reader = py::reinterpret_steal<py::object>(type->tp_alloc(type, 0));
    if (!reader) {
        throw py::error_already_set();
    }
    py::object read = source.attr("read");
    new (&state_of(reader.ptr())) CountedState{std::move(source), std::move(read), std::move(report)};
    return reader;
}

void stop_reporting(py::handle reader)
{
    state_of(reader.ptr()).report = UploadReport{};
}

}
