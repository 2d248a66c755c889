#include "platform/platform.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>

#include <algorithm>
#include <cerrno>
#include <memory>

namespace pixelmend::platform {

namespace {

// One read() or write() moves at most this much; the callers loop for the rest.
constexpr std::size_t max_transfer = std::size_t{1} << 30;

[[noreturn]] void fail(const NativePath& path)
{
    throw SystemError(errno, path);
}

// Errors that mean "there is no such file", as opposed to one we may not read.
bool names_nothing(int error)
{
    return error == ENOENT || error == ENOTDIR || error == ELOOP || error == ENAMETOOLONG;
}

FileKind kind_of(mode_t mode)
{
    if (S_ISREG(mode)) {
        return FileKind::regular;
    }
    return S_ISDIR(mode) ? FileKind::directory : FileKind::other;
}

FileStatus status_from(const struct stat& status)
{
    return FileStatus{kind_of(status.st_mode),
                      FileIdentity{static_cast<std::uint64_t>(status.st_size),
                                   static_cast<std::uint64_t>(status.st_dev),
                                   static_cast<std::uint64_t>(status.st_ino)}};
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

struct DirectoryCloser {
    void operator()(DIR* directory) const noexcept { closedir(directory); }
};

using Directory = std::unique_ptr<DIR, DirectoryCloser>;

Directory open_directory(const NativePath& path)
{
    File fd(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    Directory directory(fd ? fdopendir(fd.get()) : nullptr);
    if (!directory) {
        fail(path);
    }
    fd.release();
    return directory;
}

const dirent* next_entry(DIR* directory, const NativePath& path)
{
    errno = 0;
    const dirent* entry = readdir(directory);
    if (entry == nullptr && errno != 0) {
        fail(path);
    }
    return entry;
}

bool is_dot_or_dot_dot(NativeName name)
{
    return name == "." || name == "..";
}

}

const File::Handle File::invalid = -1;

// close() is not retried on EINTR: on Linux the descriptor is gone either way.
void File::reset() noexcept
{
    if (handle_ != invalid) {
        ::close(release());
    }
}

File open_for_reading(const NativePath& path)
{
    File file(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (!file) {
        fail(path);
    }
    prepare_for_streaming(file.get());
    return file;
}

FileStatus status_of(const File& file)
{
    struct stat status {};
    if (fstat(file.get(), &status) != 0) {
        throw SystemError(errno, NativePath());
    }
    return status_from(status);
}

std::optional<FileStatus> status_at(const NativePath& path)
{
    struct stat status {};
    if (stat(path.c_str(), &status) == 0) {
        return status_from(status);
    }
    if (names_nothing(errno)) {
        return std::nullopt;
    }
    fail(path);
}

// Refusing up front beats failing halfway through a streamed upload.
void require_readable(const NativePath& path)
{
    if (faccessat(AT_FDCWD, path.c_str(), R_OK, AT_EACCESS) != 0) {
        fail(path);
    }
}

ReadResult read_at(const File& file, char* buffer, std::size_t count, std::uint64_t offset) noexcept
{
    const ssize_t got = pread(file.get(), buffer, std::min(count, max_transfer), static_cast<off_t>(offset));
    if (got < 0) {
        return ReadResult{0, errno};
    }
    return ReadResult{static_cast<std::size_t>(got), 0};
}

bool interrupted(ErrorCode error) noexcept
{
    return error == EINTR;
}

std::vector<NativePath> list_directory(const NativePath& path)
{
    const Directory directory = open_directory(path);
    std::vector<NativePath> names;
    while (const dirent* entry = next_entry(directory.get(), path)) {
        if (!is_dot_or_dot_dot(entry->d_name)) {
            names.emplace_back(entry->d_name);
        }
    }
    return names;
}

std::optional<File> create_new_file(const NativePath& path)
{
    File file(open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (file) {
        return file;
    }
    if (errno == EEXIST) {
        return std::nullopt;
    }
    fail(path);
}

void write_all(const File& file, const char* data, std::size_t size, const NativePath& path)
{
    while (size > 0) {
        const ssize_t written = ::write(file.get(), data, std::min(size, max_transfer));
        if (written < 0 && errno != EINTR) {
            fail(path);
        }
        if (written > 0) {
            data += written;
            size -= static_cast<std::size_t>(written);
        }
    }
}

void truncate_to_empty(const File& file, const NativePath& path)
{
    if (::ftruncate(file.get(), 0) != 0 || ::lseek(file.get(), 0, SEEK_SET) != 0) {
        fail(path);
    }
}

void close_file(File& file, const NativePath& path)
{
    if (::close(file.release()) != 0) {
        fail(path);
    }
}

// rename() replaces a symbolic link at `to` itself, never the file it points to.
void replace_file(const NativePath& from, const NativePath& to)
{
    if (::rename(from.c_str(), to.c_str()) != 0) {
        fail(to);
    }
}

void remove_file(const NativePath& path) noexcept
{
    ::unlink(path.c_str());
}

NativePath joined(const NativePath& directory, NativeName name)
{
    NativePath path = directory;
    if (!path.empty() && path.back() != '/') {
        path += '/';
    }
    path += name;
    return path;
}

bool is_special_file_name(std::u32string_view) noexcept
{
    return false;
}

// pathconf answers for the file system that holds the directory; where it
// cannot tell, the usual limits stand.
bool is_too_long(const NativePath& directory, NativeName name) noexcept
{
    long longest_name = pathconf(directory.c_str(), _PC_NAME_MAX);
    if (longest_name <= 0) {
        longest_name = NAME_MAX;
    }
    return name.size() > static_cast<std::size_t>(longest_name) || directory.size() + 1 + name.size() >= PATH_MAX;
}

NativeName base_name(NativeName path)
{
    const auto slash = path.rfind('/');
    return slash == NativeName::npos ? path : path.substr(slash + 1);
}

// Names are compared as bytes: for UTF-8 names that is code point order.
bool name_less(NativeName a, NativeName b) noexcept
{
    return a < b;
}

}
