#include "utils/upload_file.hpp"

#include "capi/api_boundary.hpp"
#include "capi/fastcall_method.hpp"
#include "capi/gil_released.hpp"
#include "capi/module_type.hpp"
#include "capi/native_path.hpp"
#include "capi/new_reference.hpp"
#include "capi/object_lock.hpp"
#include "capi/os_error.hpp"
#include "capi/value_object.hpp"
#include "platform/platform.hpp"

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>

namespace pixelmend {

namespace {

struct Failure {
    enum class Kind { none, system, changed_size, replaced };
    Kind kind = Kind::none;
    platform::ErrorCode error = 0;
    std::uint64_t got = 0;

    bool happened() const { return kind != Kind::none; }
};

struct ReaderState {
    ReaderState(platform::NativePath listed_path, py::str text_name, const platform::FileIdentity& listed_identity)
        : path(std::move(listed_path)), name(std::move(text_name)), identity(listed_identity)
    {
    }

    platform::NativePath path;
    py::str name;
    platform::FileIdentity identity;
    std::uint64_t consumed = 0;
    platform::File file;
    Failure failure;
    bool closed = false;
    bool busy = false;

    std::uint64_t remaining() const { return identity.size - consumed; }
};

ReaderState& state_of(PyObject* self)
{
    return value_of<ReaderState>(self);
}

// A failure is kept and raised again on every later read: a reader that went
// quiet instead would let the encoder send a silently truncated body.
[[noreturn]] void raise_failure(const ReaderState& state)
{
    const auto& failure = state.failure;
    if (failure.kind == Failure::Kind::system) {
        set_os_error(failure.error, state.name);
    } else if (failure.kind == Failure::Kind::changed_size) {
        PyErr_Format(PyExc_OSError, "%U: file changed size while being uploaded (expected %lld bytes, got %lld)",
                     state.name.ptr(), static_cast<long long>(state.identity.size),
                     static_cast<long long>(failure.got));
    } else {
        PyErr_Format(PyExc_OSError, "%U: file was replaced by another one before it was uploaded", state.name.ptr());
    }
    throw py::error_already_set();
}

[[noreturn]] void raise_unusable(const ReaderState& state, bool closed, bool busy)
{
    if (closed) {
        PyErr_SetString(PyExc_ValueError, "I/O operation on closed file");
    } else if (busy) {
        PyErr_SetString(PyExc_RuntimeError, "UploadFile is being read by another thread");
    } else {
        raise_failure(state);
    }
    throw py::error_already_set();
}

Py_ssize_t amount_to_read(const ReaderState& state, Py_ssize_t wanted)
{
    const std::uint64_t available = std::min<std::uint64_t>(state.remaining(), PY_SSIZE_T_MAX);
    const bool all = wanted < 0 || static_cast<std::uint64_t>(wanted) > available;
    return all ? static_cast<Py_ssize_t>(available) : wanted;
}

// Checks that the reader can be read and marks it busy in one step, so that
// no two threads ever read it at once, nor one closes it under the other.
// Returns the count to read; a reader with nothing left is not marked busy.
// A failure, once kept, never changes again, so it is raised outside.
Py_ssize_t begin_read(PyObject* self, Py_ssize_t wanted)
{
    ReaderState& state = state_of(self);
    bool closed;
    bool busy;
    bool failed;
    Py_ssize_t count = 0;
    {
        const ObjectLock lock(self);
        closed = state.closed;
        busy = state.busy;
        failed = state.failure.happened();
        if (!closed && !busy && !failed) {
            count = amount_to_read(state, wanted);
            state.busy = count > 0;
        }
    }
    if (closed || busy || failed) {
        raise_unusable(state, closed, busy);
    }
    return count;
}

// The reader held busy while it reads with the GIL released. While busy, the
// file and the count consumed are the reading thread's alone; the outcome is
// kept and the reader let go in one step on every way out, exceptions
// included. A failure is kept so that every later read raises it again.
class BusyScope {
public:
    explicit BusyScope(PyObject* self) : self_(self) {}
    BusyScope(const BusyScope&) = delete;
    BusyScope& operator=(const BusyScope&) = delete;

    void finish(const Failure& failure, Py_ssize_t count)
    {
        failure_ = failure;
        count_ = failure.happened() ? 0 : count;
    }

    ~BusyScope()
    {
        platform::File done;
        {
            const ObjectLock lock(self_);
            ReaderState& state = state_of(self_);
            state.consumed += static_cast<std::uint64_t>(count_);
            if (failure_.happened()) {
                state.failure = failure_;
            }
            state.busy = false;
            if (state.closed || state.remaining() == 0 || failure_.happened()) {
                done = std::move(state.file);
            }
        }
    }

private:
    PyObject* self_;
    Failure failure_;
    Py_ssize_t count_ = 0;
};

// The file as opened for a reader, or none, and the reason it cannot be
// read: it could not be opened, or what opened is not the file listed.
struct OpenAttempt {
    platform::File file;
    Failure failure;
};

Failure identity_failure(const platform::FileStatus& status, const platform::FileIdentity& expected)
{
    if (status.kind != platform::FileKind::regular || status.identity.device != expected.device
        || status.identity.index != expected.index) {
        return Failure{Failure::Kind::replaced};
    }
    if (status.identity.size < expected.size) {
        return Failure{Failure::Kind::changed_size, 0, status.identity.size};
    }
    return Failure{};
}

OpenAttempt open_listed_file(const platform::NativePath& path, const platform::FileIdentity& expected)
{
    try {
        platform::File file = platform::open_for_reading(path);
        const Failure failure = identity_failure(platform::status_of(file), expected);
        return OpenAttempt{std::move(file), failure};
    } catch (const platform::SystemError& error) {
        return OpenAttempt{platform::File(), Failure{Failure::Kind::system, error.code()}};
    }
}

Failure ensure_open(ReaderState& state)
{
    if (state.file) {
        return Failure{};
    }
    OpenAttempt attempt;
    {
        GilReleased released;
        attempt = open_listed_file(state.path, state.identity);
    }
    state.file = std::move(attempt.file);
    return attempt.failure;
}

struct Chunk {
    Py_ssize_t filled = 0;
    platform::ErrorCode error = 0;
};

Chunk read_fully(const platform::File& file, char* buffer, Py_ssize_t count, std::uint64_t offset)
{
    Chunk chunk;
    while (chunk.filled < count) {
        const platform::ReadResult got = platform::read_at(
            file, buffer + chunk.filled, static_cast<std::size_t>(count - chunk.filled), offset + chunk.filled);
        if (got.count == 0) {
            chunk.error = got.error;
            break;
        }
        chunk.filled += static_cast<Py_ssize_t>(got.count);
    }
    return chunk;
}

// Reads at explicit offsets: a read cut short by a signal handler that
// raises leaves the reader where it was, ready to be read again.
Chunk read_with_signals(ReaderState& state, char* buffer, Py_ssize_t count)
{
    Chunk total;
    for (;;) {
        Chunk chunk;
        {
            GilReleased released;
            chunk = read_fully(state.file, buffer + total.filled, count - total.filled,
                               state.consumed + static_cast<std::uint64_t>(total.filled));
        }
        total.filled += chunk.filled;
        total.error = chunk.error;
        if (!platform::interrupted(chunk.error)) {
            return total;
        }
        if (PyErr_CheckSignals() < 0) {
            throw py::error_already_set();
        }
    }
}

// What a read of `count` bytes that got `chunk` failed of: the system's
// error, or a file that ended early because it shrank since it was listed.
Failure read_failure(const ReaderState& state, const Chunk& chunk, Py_ssize_t count)
{
    if (chunk.error != 0) {
        return Failure{Failure::Kind::system, chunk.error};
    }
    if (chunk.filled < count) {
        return Failure{Failure::Kind::changed_size, 0, state.consumed + static_cast<std::uint64_t>(chunk.filled)};
    }
    return Failure{};
}

py::object read_bytes(PyObject* self, Py_ssize_t wanted)
{
    const Py_ssize_t count = begin_read(self, wanted);
    if (count == 0) {
        return py::bytes();
    }
    ReaderState& state = state_of(self);
    py::object data;
    Failure failure;
    {
        BusyScope busy(self);
        failure = ensure_open(state);
        if (!failure.happened()) {
            data = steal_or_throw(PyBytes_FromStringAndSize(nullptr, count));
            failure = read_failure(state, read_with_signals(state, PyBytes_AS_STRING(data.ptr()), count), count);
        }
        busy.finish(failure, count);
    }
    if (failure.happened()) {
        raise_failure(state);
    }
    return data;
}

Py_ssize_t requested_size(PyObject* const* args, Py_ssize_t nargs)
{
    if (nargs > 1) {
        PyErr_Format(PyExc_TypeError, "read() takes at most 1 argument (%zd given)", nargs);
    } else if (nargs == 0 || args[0] == Py_None) {
        return -1;
    } else if (!PyIndex_Check(args[0])) {
        PyErr_Format(PyExc_TypeError, "argument should be integer or None, not '%.200s'", Py_TYPE(args[0])->tp_name);
    } else {
        const Py_ssize_t size = PyNumber_AsSsize_t(args[0], PyExc_OverflowError);
        if (size != -1 || !PyErr_Occurred()) {
            return size;
        }
    }
    throw py::error_already_set();
}

PyObject* upload_file_read(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept
{
    return guarded([&] { return read_bytes(self, requested_size(args, nargs)); });
}

// A reader closed while another thread reads it is closed by that thread
// when its read ends.
PyObject* upload_file_close(PyObject* self, PyObject*) noexcept
{
    platform::File done;
    {
        const ObjectLock lock(self);
        ReaderState& state = state_of(self);
        state.closed = true;
        if (!state.busy) {
            done = std::move(state.file);
        }
    }
    Py_RETURN_NONE;
}

PyObject* upload_file_len(PyObject* self, void*) noexcept
{
    std::uint64_t remaining;
    {
        const ObjectLock lock(self);
        remaining = state_of(self).remaining();
    }
    return PyLong_FromUnsignedLongLong(remaining);
}

PyObject* upload_file_name(PyObject* self, void*) noexcept
{
    return state_of(self).name.inc_ref().ptr();
}

PyObject* upload_file_closed(PyObject* self, void*) noexcept
{
    bool closed;
    {
        const ObjectLock lock(self);
        closed = state_of(self).closed;
    }
    return PyBool_FromLong(closed);
}

PyObject* upload_file_repr(PyObject* self) noexcept
{
    const ReaderState& state = state_of(self);
    return PyUnicode_FromFormat("<UploadFile %R size=%lld>", state.name.ptr(),
                                static_cast<long long>(state.identity.size));
}

// Stands for `reader` in a pickle: a closed reader of the same file, size
// and count consumed, made by the type's _closed(). An error raised while
// the readers were being sent holds the request and with it the readers; so
// it crosses a process boundary (a pool's worker to its parent) whole, and
// nothing can be read through the copy.
PyObject* upload_file_reduce(PyObject* self, PyObject*) noexcept
{
    return guarded([&] {
        std::uint64_t size;
        std::uint64_t consumed;
        {
            const ObjectLock lock(self);
            size = state_of(self).identity.size;
            consumed = state_of(self).consumed;
        }
        py::object rebuild = py::getattr(py::handle(reinterpret_cast<PyObject*>(Py_TYPE(self))), "_closed");
        return py::make_tuple(rebuild, py::make_tuple(state_of(self).name, size, consumed));
    });
}

std::uint64_t count_argument(PyObject* argument)
{
    const unsigned long long count = PyLong_Check(argument) ? PyLong_AsUnsignedLongLong(argument) : 0;
    if (!PyLong_Check(argument)) {
        PyErr_SetString(PyExc_TypeError, "_closed() expects counts of bytes as integers");
    }
    if (PyErr_Occurred()) {
        throw py::error_already_set();
    }
    return count;
}

py::object closed_reader(PyObject* type, PyObject* const* args, Py_ssize_t nargs)
{
    if (nargs != 3 || !PyUnicode_Check(args[0])) {
        PyErr_SetString(PyExc_TypeError, "_closed() takes a file name and two counts of bytes");
        throw py::error_already_set();
    }
    const std::uint64_t size = count_argument(args[1]);
    const std::uint64_t consumed = count_argument(args[2]);
    if (consumed > size) {
        PyErr_SetString(PyExc_ValueError, "_closed() got more bytes consumed than the file's size");
        throw py::error_already_set();
    }
    platform::FileIdentity identity;
    identity.size = size;
    ReaderState state(native_path(args[0]), py::reinterpret_borrow<py::str>(args[0]), identity);
    state.consumed = consumed;
    state.closed = true;
    return make_value_object(type, std::move(state));
}

PyObject* upload_file_closed_copy(PyObject* type, PyObject* const* args, Py_ssize_t nargs) noexcept
{
    return guarded([&] { return closed_reader(type, args, nargs); });
}

PyMethodDef upload_file_methods[] = {
    {"read", fastcall_method<upload_file_read>(), METH_FASTCALL, "read($self, size=-1, /)\n--\n\n"},
    {"close", upload_file_close, METH_NOARGS, "close($self, /)\n--\n\n"},
    {"__reduce__", upload_file_reduce, METH_NOARGS, nullptr},
    {"_closed", fastcall_method<upload_file_closed_copy>(), METH_FASTCALL | METH_CLASS,
     "_closed($type, name, size, consumed, /)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef upload_file_getset[] = {
    {"len", upload_file_len, nullptr, nullptr, nullptr},
    {"name", upload_file_name, nullptr, nullptr, nullptr},
    {"closed", upload_file_closed, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot upload_file_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_value_object<ReaderState>)},
    {Py_tp_repr, reinterpret_cast<void*>(upload_file_repr)},
    {Py_tp_methods, upload_file_methods},
    {Py_tp_getset, upload_file_getset},
    {0, nullptr},
};

// Readers only come from the helpers, which stat the file first.
PyType_Spec upload_file_spec = {
    .name = "pixelmend.utils.utils.UploadFile",
    .basicsize = sizeof(ValueObject<ReaderState>),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | own_instances_only,
    .slots = upload_file_slots,
};

}

PyObject* new_upload_file_type(PyObject* module)
{
    return new_module_type(module, &upload_file_spec);
}

py::object make_upload_file(py::handle type, const ImageFile& file)
{
    return make_value_object(type, ReaderState(file.path, native_name_text(file.path), file.identity));
}

}
