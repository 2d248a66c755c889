#include "result_file.hpp"

#include "fs_text.hpp"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <random>
#include <unistd.h>

namespace pixelmend {

namespace {

// The body arrives in 8 KiB chunks; writing each one with its own write()
// costs about twice as much as writing them gathered into larger blocks.
constexpr std::size_t block_size = 256 * 1024;

[[noreturn]] void raise_os_error(const std::string& path)
{
    const int error = errno;
    auto name = py::reinterpret_steal<py::object>(PyUnicode_DecodeFSDefault(path.c_str()));
    errno = error;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, name ? name.ptr() : nullptr);
    throw py::error_already_set();
}

std::string random_suffix()
{
    static thread_local std::mt19937_64 generator{std::random_device{}()};
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(generator()));
    return text;
}

// Created like open(path, "wb") creates files (mode 0666 less the umask),
// under a name that no other download picks.
int create_temporary(const std::string& directory, std::string& path)
{
    for (;;) {
        path = directory + "/.pixelmend-" + random_suffix() + ".part";
        int fd;
        Py_BEGIN_ALLOW_THREADS
        fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        Py_END_ALLOW_THREADS
        if (fd >= 0 || errno != EEXIST) {
            return fd;
        }
    }
}

bool write_all(int fd, const char* data, std::size_t size)
{
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

class Buffer {
public:
    explicit Buffer(py::handle object)
    {
        if (PyObject_GetBuffer(object.ptr(), &view_, PyBUF_SIMPLE) < 0) {
            throw py::error_already_set();
        }
    }
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    ~Buffer() { PyBuffer_Release(&view_); }

    const char* data() const { return static_cast<const char*>(view_.buf); }
    std::size_t size() const { return static_cast<std::size_t>(view_.len); }

private:
    Py_buffer view_{};
};

}

ResultFile::ResultFile(py::handle directory, py::handle final_path)
    : final_path_(fs_path_bytes(final_path)),
      final_path_object_(py::reinterpret_borrow<py::object>(final_path))
{
    const std::string directory_path = fs_path_bytes(directory);
    fd_ = create_temporary(directory_path.empty() ? "." : directory_path, temporary_path_);
    if (fd_ < 0) {
        raise_os_error(temporary_path_);
    }
}

ResultFile::~ResultFile()
{
    if (fd_ >= 0) {
        ::close(fd_);
    }
    if (!temporary_path_.empty()) {
        ::unlink(temporary_path_.c_str());
    }
}

void ResultFile::write(py::handle chunk)
{
    const Buffer buffer(chunk);
    if (pending_.size() + buffer.size() > block_size) {
        flush();
    }
    if (buffer.size() < block_size) {
        pending_.reserve(block_size);
        pending_.insert(pending_.end(), buffer.data(), buffer.data() + buffer.size());
    } else {
        write_out(buffer.data(), buffer.size());
    }
}

void ResultFile::flush()
{
    if (!pending_.empty()) {
        write_out(pending_.data(), pending_.size());
        pending_.clear();
    }
}

void ResultFile::write_out(const char* data, std::size_t size)
{
    bool written;
    Py_BEGIN_ALLOW_THREADS
    written = write_all(fd_, data, size);
    Py_END_ALLOW_THREADS
    if (!written) {
        raise_os_error(temporary_path_);
    }
}

void ResultFile::commit()
{
    flush();
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) {
        raise_os_error(temporary_path_);
    }
    int renamed;
    Py_BEGIN_ALLOW_THREADS
    renamed = ::rename(temporary_path_.c_str(), final_path_.c_str());
    Py_END_ALLOW_THREADS
    if (renamed != 0) {
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, final_path_object_.ptr());
        throw py::error_already_set();
    }
    temporary_path_.clear();
}

}
