#include "exchange/result_file.hpp"

#include "capi/native_path.hpp"
#include "capi/os_error.hpp"

namespace pixelmend {

namespace {

// The body arrives in 8 KiB chunks; writing each one with its own write()
// costs about twice as much as writing them gathered into larger blocks.
constexpr std::size_t block_size = 256 * 1024;

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

StagedFile staged_in(const platform::NativePath& directory)
{
    return unlocked_os_call([&] { return StagedFile(directory); });
}

}

ResultFile::ResultFile(py::handle directory, py::handle final_path)
    : final_path_(native_path(final_path)), staged_(staged_in(native_path(directory)))
{
}

void ResultFile::write(py::handle chunk)
{
    const Buffer buffer(chunk);
    size_ += buffer.size();
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
    unlocked_os_call([&] { staged_.write(data, size); });
}

void ResultFile::restart()
{
    pending_.clear();
    unlocked_os_call([&] { staged_.clear(); });
    size_ = 0;
}

void ResultFile::commit()
{
    flush();
    unlocked_os_call([&] { staged_.commit(final_path_); });
}

}
