#include "upload_file.hpp"

#include "api_boundary.hpp"
#include "fs_text.hpp"
#include "gil_released.hpp"
#include "unique_fd.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <new>
#include <string>
#include <utility>

namespace pixelmend {

namespace {

// Caps one pread() call well below SSIZE_MAX; the loop reads the rest.
constexpr Py_ssize_t max_chunk = Py_ssize_t{1} << 30;

struct Failure {
    enum class Kind { none, system, changed_size, replaced };
    Kind kind = Kind::none;
    int error = 0;
    off_t got = 0;

    bool happened() const { return kind != Kind::none; }
};

struct ReaderState {
    ReaderState(std::string listed_path, py::str text_name, const FileIdentity& listed_identity)
        : path(std::move(listed_path)), name(std::move(text_name)), identity(listed_identity)
    {
    }

    std::string path;
    py::str name;
    FileIdentity identity;
    off_t consumed = 0;
    UniqueFd fd;
    Failure failure;
    bool closed = false;
    bool busy = false;

    off_t remaining() const { return identity.size - consumed; }
};

struct UploadFileObject {
    PyObject_HEAD
    ReaderState state;
};

ReaderState& state_of(PyObject* self)
{
    return reinterpret_cast<UploadFileObject*>(self)->state;
}

// A failure is kept and raised again on every later read: a reader that went
// quiet instead would let the encoder send a silently truncated body.
[[noreturn]] void raise_failure(const ReaderState& state)
{
    const auto& failure = state.failure;
    if (failure.kind == Failure::Kind::system) {
        errno = failure.error;
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, state.name.ptr());
    } else if (failure.kind == Failure::Kind::changed_size) {
        PyErr_Format(PyExc_OSError, "%U: file changed size while being uploaded (expected %lld bytes, got %lld)",
                     state.name.ptr(), static_cast<long long>(state.identity.size),
                     static_cast<long long>(failure.got));
    } else {
        PyErr_Format(PyExc_OSError, "%U: file was replaced by another one before it was uploaded", state.name.ptr());
    }
    throw py::error_already_set();
}

[[noreturn]] void fail(ReaderState& state, const Failure& failure)
{
    state.failure = failure;
    state.fd.reset();
    raise_failure(state);
}

[[noreturn]] void raise_unusable(const ReaderState& state)
{
    if (state.closed) {
        PyErr_SetString(PyExc_ValueError, "I/O operation on closed file");
    } else if (state.busy) {
        PyErr_SetString(PyExc_RuntimeError, "UploadFile is being read by another thread");
    } else {
        raise_failure(state);
    }
    throw py::error_already_set();
}

void require_usable(const ReaderState& state)
{
    if (state.closed || state.busy || state.failure.happened()) {
        raise_unusable(state);
    }
}

// Marks the reader busy while the GIL is released inside read(), so another
// thread can neither read concurrently nor close the descriptor under it.
class BusyScope {
public:
    explicit BusyScope(ReaderState& state) : state_(state) { state_.busy = true; }
    BusyScope(const BusyScope&) = delete;
    BusyScope& operator=(const BusyScope&) = delete;
    ~BusyScope()
    {
        state_.busy = false;
        if (state_.closed || state_.remaining() == 0) {
            state_.fd.reset();
        }
    }

private:
    ReaderState& state_;
};

struct Opened {
    UniqueFd fd;
    Failure failure;
};

Failure compare_identity(int fd, const FileIdentity& expected)
{
    struct stat status {};
    if (fstat(fd, &status) != 0) {
        return Failure{Failure::Kind::system, errno};
    }
    if (!S_ISREG(status.st_mode) || status.st_dev != expected.device || status.st_ino != expected.inode) {
        return Failure{Failure::Kind::replaced};
    }
    if (status.st_size < expected.size) {
        return Failure{Failure::Kind::changed_size, 0, status.st_size};
    }
    return Failure{};
}

// O_NONBLOCK only guards the open() itself: should the path now be a FIFO,
// opening it must not wait for a writer. Regular files ignore the flag.
void prepare_for_streaming(int fd)
{
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
#ifdef POSIX_FADV_SEQUENTIAL
    posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
#endif
}

Opened open_listed_file(const std::string& path, const FileIdentity& expected)
{
    UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    const Failure failure = fd ? compare_identity(fd.get(), expected) : Failure{Failure::Kind::system, errno};
    if (!failure.happened()) {
        prepare_for_streaming(fd.get());
    }
    return Opened{std::move(fd), failure};
}

void ensure_open(ReaderState& state)
{
    if (state.fd) {
        return;
    }
    Opened opened;
    {
        GilReleased released;
        opened = open_listed_file(state.path, state.identity);
    }
    if (opened.failure.happened()) {
        fail(state, opened.failure);
    }
    state.fd = std::move(opened.fd);
}

struct Chunk {
    Py_ssize_t filled = 0;
    int error = 0;
};

Chunk pread_fully(int fd, char* buffer, Py_ssize_t count, off_t offset)
{
    Chunk chunk;
    while (chunk.filled < count) {
        const ssize_t got = pread(fd, buffer + chunk.filled, static_cast<size_t>(std::min(count - chunk.filled, max_chunk)),
                                  offset + chunk.filled);
        if (got <= 0) {
            chunk.error = got == 0 ? 0 : errno;
            break;
        }
        chunk.filled += got;
    }
    return chunk;
}

// pread() at explicit offsets: a read cut short by a signal handler that
// raises leaves the reader where it was, ready to be read again.
Chunk read_with_signals(ReaderState& state, char* buffer, Py_ssize_t count)
{
    Chunk total;
    for (;;) {
        Chunk chunk;
        {
            GilReleased released;
            chunk = pread_fully(state.fd.get(), buffer + total.filled, count - total.filled,
                                state.consumed + total.filled);
        }
        total.filled += chunk.filled;
        total.error = chunk.error;
        if (chunk.error != EINTR) {
            return total;
        }
        if (PyErr_CheckSignals() < 0) {
            throw py::error_already_set();
        }
    }
}

Failure judge(const ReaderState& state, const Chunk& chunk, Py_ssize_t count)
{
    if (chunk.error != 0) {
        return Failure{Failure::Kind::system, chunk.error};
    }
    if (chunk.filled < count) {
        return Failure{Failure::Kind::changed_size, 0, state.consumed + chunk.filled};
    }
    return Failure{};
}

void fill(ReaderState& state, char* buffer, Py_ssize_t count)
{
    const Failure failure = judge(state, read_with_signals(state, buffer, count), count);
    if (failure.happened()) {
        fail(state, failure);
    }
    state.consumed += count;
}

Py_ssize_t amount_to_read(const ReaderState& state, Py_ssize_t wanted)
{
    const off_t available = std::min<off_t>(state.remaining(), PY_SSIZE_T_MAX);
    return (wanted < 0 || wanted > available) ? static_cast<Py_ssize_t>(available) : wanted;
}

py::object read_bytes(ReaderState& state, Py_ssize_t wanted)
{
    require_usable(state);
    const Py_ssize_t count = amount_to_read(state, wanted);
    if (count == 0) {
        return py::bytes();
    }
    BusyScope busy(state);
    ensure_open(state);
    auto data = py::reinterpret_steal<py::object>(PyBytes_FromStringAndSize(nullptr, count));
    if (!data) {
        throw py::error_already_set();
    }
    fill(state, PyBytes_AS_STRING(data.ptr()), count);
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

PyObject* upload_file_read(PyObject* self, PyObject* const* args, Py_ssize_t nargs)
{
    return guarded([&] { return read_bytes(state_of(self), requested_size(args, nargs)); });
}

PyObject* upload_file_close(PyObject* self, PyObject*)
{
    ReaderState& state = state_of(self);
    state.closed = true;
    if (!state.busy) {
        state.fd.reset();
    }
    Py_RETURN_NONE;
}

PyObject* upload_file_len(PyObject* self, void*)
{
    return PyLong_FromLongLong(static_cast<long long>(state_of(self).remaining()));
}

PyObject* upload_file_name(PyObject* self, void*)
{
    return state_of(self).name.inc_ref().ptr();
}

PyObject* upload_file_closed(PyObject* self, void*)
{
    return PyBool_FromLong(state_of(self).closed);
}

PyObject* upload_file_repr(PyObject* self)
{
    const ReaderState& state = state_of(self);
    return PyUnicode_FromFormat("<UploadFile %R size=%lld>", state.name.ptr(),
                                static_cast<long long>(state.identity.size));
}

void upload_file_dealloc(PyObject* self)
{
    state_of(self).~ReaderState();
    Py_TYPE(self)->tp_free(self);
}

PyMethodDef upload_file_methods[] = {
    {"read", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(upload_file_read)), METH_FASTCALL,
     "read($self, size=-1, /)\n--\n\n"},
    {"close", upload_file_close, METH_NOARGS, "close($self, /)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef upload_file_getset[] = {
    {"len", upload_file_len, nullptr, nullptr, nullptr},
    {"name", upload_file_name, nullptr, nullptr, nullptr},
    {"closed", upload_file_closed, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// No tp_new: readers only come from the helpers, which stat the file first.
PyTypeObject make_upload_file_type()
{
    PyTypeObject type{};
    type.ob_base = PyVarObject{PyObject_HEAD_INIT(nullptr) 0};
    type.tp_name = "pixelmend.utils.utils.UploadFile";
    type.tp_basicsize = sizeof(UploadFileObject);
    type.tp_dealloc = upload_file_dealloc;
    type.tp_repr = upload_file_repr;
    type.tp_flags = Py_TPFLAGS_DEFAULT;
    type.tp_methods = upload_file_methods;
    type.tp_getset = upload_file_getset;
    return type;
}

PyTypeObject upload_file_type = make_upload_file_type();

}

int add_upload_file_type(PyObject* module)
{
    return PyModule_AddType(module, &upload_file_type);
}

py::object make_upload_file(const ImageFile& file)
{
    ReaderState state(file.path, fs_name_text(file.path), file.identity);
    auto reader = py::reinterpret_steal<py::object>(upload_file_type.tp_alloc(&upload_file_type, 0));
    if (!reader) {
        throw py::error_already_set();
    }
    new (&state_of(reader.ptr())) ReaderState(std::move(state));
    return reader;
}

}
