#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// Every operating-system call the extension makes goes through here; one
// implementation for POSIX (platform_posix.cpp) and one for Windows
// (platform_windows.cpp). Nothing in this layer touches Python, so a plain
// C++ program can test it and it may run without the GIL. Failures throw
// SystemError unless a function says otherwise.
namespace pixelmend::platform {

#ifdef _WIN32
// Windows paths are UTF-16 and errors are GetLastError() codes.
using PathChar = wchar_t;
using ErrorCode = unsigned long;
#else
// POSIX paths are the raw bytes of the file system and errors are errno values.
using PathChar = char;
using ErrorCode = int;
#endif

using NativePath = std::basic_string<PathChar>;
using NativeName = std::basic_string_view<PathChar>;

// A system call that failed: the code the system gave and the path it concerned.
class SystemError : public std::exception {
public:
    SystemError(ErrorCode code, NativePath path) : code_(code), path_(std::move(path)) {}

    ErrorCode code() const noexcept { return code_; }
    const NativePath& path() const noexcept { return path_; }
    const char* what() const noexcept override { return "operating system call failed"; }

private:
    ErrorCode code_;
    NativePath path_;
};

enum class FileKind { regular, directory, other };

// What identifies a file across two looks at it: a file replaced under the
// same name has another device or index, one that shrank a smaller size.
struct FileIdentity {
    std::uint64_t size = 0;
    std::uint64_t device = 0;
    std::uint64_t index = 0;
};

struct FileStatus {
    FileKind kind = FileKind::other;
    FileIdentity identity;
};

// An open file, closed when this goes away.
class File {
public:
#ifdef _WIN32
    using Handle = void*;
#else
    using Handle = int;
#endif

    File() noexcept = default;
    explicit File(Handle handle) noexcept : handle_(handle) {}
    File(File&& other) noexcept : handle_(other.release()) {}
    File& operator=(File&& other) noexcept
    {
        if (this != &other) {
            reset();
            handle_ = other.release();
        }
        return *this;
    }
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    ~File() { reset(); }

    Handle get() const noexcept { return handle_; }
    explicit operator bool() const noexcept { return handle_ != invalid; }
    Handle release() noexcept
    {
        const Handle handle = handle_;
        handle_ = invalid;
        return handle;
    }
    // Closes the file, the one step that differs between systems.
    void reset() noexcept;

    static const Handle invalid;

private:
    Handle handle_ = invalid;
};

struct ReadResult {
    std::size_t count = 0;
    ErrorCode error = 0;
};

// Opens an existing file for reading, for a single sequential pass.
File open_for_reading(const NativePath& path);

// Size and identity of an open file. A failure carries no path: the caller
// knows which file it opened.
FileStatus status_of(const File& file);

// Size and identity of what `path` names, following symbolic links; nothing
// when the path names no file at all (missing, or a component is no directory).
std::optional<FileStatus> status_at(const NativePath& path);

// Throws unless the caller may open `path` for reading.
void require_readable(const NativePath& path);

// Reads up to `count` bytes at `offset` with one system call, whatever the
// file position is. A count of 0 with no error means end of file.
ReadResult read_at(const File& file, char* buffer, std::size_t count, std::uint64_t offset) noexcept;

// Whether a failed read was cut short by a signal and may simply be repeated.
bool interrupted(ErrorCode error) noexcept;

// The names in a directory, "." and ".." left out, in no particular order.
std::vector<NativePath> list_directory(const NativePath& path);

// Creates `path` for writing, as open(path, "wb") would, but only if no file
// of that name exists; nothing when one does.
std::optional<File> create_new_file(const NativePath& path);

void write_all(const File& file, const char* data, std::size_t size, const NativePath& path);

// Cuts a file opened for writing back to nothing; the next write goes to
// its start.
void truncate_to_empty(const File& file, const NativePath& path);

// Closes the file, reporting a failure that could mean lost data.
void close_file(File& file, const NativePath& path);

// Moves `from` to `to` in one step, replacing whatever `to` named (a
// symbolic link there is replaced, not followed). Both in the same directory.
void replace_file(const NativePath& from, const NativePath& to);

void remove_file(const NativePath& path) noexcept;

// Characters that make a name from elsewhere more than a file name: path
// separators, and on Windows the colon of a drive ("C:name" joined to a
// directory is read relative to drive C) or of a data stream.
#ifdef _WIN32
inline constexpr std::u32string_view path_characters = U"/\\:";
#else
inline constexpr std::u32string_view path_characters = U"/\\";
#endif

// Whether the system takes `name`, alone in a directory, for something other
// than the file of that name, or cannot hold it: on Windows a device (CON,
// PRN, AUX, NUL, CONIN$, CONOUT$, COM1-9 and LPT1-9 with the superscript
// digits too, in any case, also with an extension or spaces after it), a name
// ending in a dot or a space, which Windows drops, or one holding a wildcard,
// < > " | or a control character. Never on POSIX.
bool is_special_file_name(std::u32string_view name) noexcept;

// Whether a file called `name` in `directory` is beyond what the system
// takes: a name longer than the file system's limit, or on Windows a full
// path longer than MAX_PATH where long paths are not enabled.
bool is_too_long(const NativePath& directory, NativeName name) noexcept;

// `directory` and `name` joined with the system's separator.
NativePath joined(const NativePath& directory, NativeName name);

// The last component of a path, as os.path.basename gives it.
NativeName base_name(NativeName path);

// Orders file names by code point, as Python's sorted() orders the str names.
bool name_less(NativeName a, NativeName b) noexcept;

}
