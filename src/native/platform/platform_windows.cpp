#include "platform/platform.hpp"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <algorithm>
#include <array>
#include <memory>

namespace pixelmend::platform {

namespace {

// One ReadFile() or WriteFile() moves at most this much; the callers loop for the rest.
constexpr std::size_t max_transfer = std::size_t{1} << 30;

// Other programs may read, write, rename or delete a file while we hold it,
// as they may on POSIX.
constexpr DWORD share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

[[noreturn]] void fail(const NativePath& path)
{
    throw SystemError(GetLastError(), path);
}

// Errors that mean "there is no such file", as opposed to one we may not read.
bool names_nothing(DWORD error)
{
    constexpr std::array<DWORD, 8> nothing = {
        ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND, ERROR_INVALID_NAME,      ERROR_INVALID_DRIVE,
        ERROR_BAD_NETPATH,    ERROR_BAD_NET_NAME,   ERROR_FILENAME_EXCED_RANGE, ERROR_CANT_RESOLVE_FILENAME,
    };
    return std::find(nothing.begin(), nothing.end(), error) != nothing.end();
}

std::uint64_t joined_halves(DWORD high, DWORD low)
{
    return (static_cast<std::uint64_t>(high) << 32) | low;
}

FileKind kind_of(HANDLE handle, DWORD attributes)
{
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        return FileKind::directory;
    }
    return GetFileType(handle) == FILE_TYPE_DISK ? FileKind::regular : FileKind::other;
}

// FILE_FLAG_BACKUP_SEMANTICS lets a directory be opened too, so that it can be
// told apart from a file rather than refused.
File open_existing(const NativePath& path, DWORD access, DWORD flags)
{
    return File(CreateFileW(path.c_str(), access, share_all, nullptr, OPEN_EXISTING,
                            flags | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
}

struct SearchCloser {
    void operator()(HANDLE search) const noexcept { FindClose(search); }
};

using Search = std::unique_ptr<void, SearchCloser>;

bool is_dot_or_dot_dot(NativeName name)
{
    return name == L"." || name == L"..";
}

bool is_separator(wchar_t c)
{
    return c == L'/' || c == L'\\';
}

// Code point order: surrogates (astral characters) sort after U+E000..U+FFFF.
unsigned code_point_rank(wchar_t unit)
{
    const unsigned value = static_cast<unsigned>(unit);
    if (value < 0xD800) {
        return value;
    }
    return value < 0xE000 ? value + 0x2000 : value - 0x800;
}

}

const File::Handle File::invalid = INVALID_HANDLE_VALUE;

void File::reset() noexcept
{
    if (handle_ != invalid) {
        CloseHandle(release());
    }
}

File open_for_reading(const NativePath& path)
{
    File file = open_existing(path, GENERIC_READ, FILE_FLAG_SEQUENTIAL_SCAN);
    if (!file) {
        fail(path);
    }
    return file;
}

FileStatus status_of(const File& file)
{
    BY_HANDLE_FILE_INFORMATION information{};
    if (!GetFileInformationByHandle(file.get(), &information)) {
        throw SystemError(GetLastError(), NativePath());
    }
    return FileStatus{kind_of(file.get(), information.dwFileAttributes),
                      FileIdentity{joined_halves(information.nFileSizeHigh, information.nFileSizeLow),
                                   information.dwVolumeSerialNumber,
                                   joined_halves(information.nFileIndexHigh, information.nFileIndexLow)}};
}

std::optional<FileStatus> status_at(const NativePath& path)
{
    const File file = open_existing(path, FILE_READ_ATTRIBUTES, 0);
    if (file) {
        return status_of(file);
    }
    if (names_nothing(GetLastError())) {
        return std::nullopt;
    }
    fail(path);
}

// Refusing up front beats failing halfway through a streamed upload.
void require_readable(const NativePath& path)
{
    if (!open_existing(path, GENERIC_READ, 0)) {
        fail(path);
    }
}

// ReadFile() on a handle opened without FILE_FLAG_OVERLAPPED reads at the
// OVERLAPPED offset and waits for the data, as pread() does.
ReadResult read_at(const File& file, char* buffer, std::size_t count, std::uint64_t offset) noexcept
{
    OVERLAPPED position{};
    position.Offset = static_cast<DWORD>(offset);
    position.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD got = 0;
    if (ReadFile(file.get(), buffer, static_cast<DWORD>(std::min(count, max_transfer)), &got, &position)) {
        return ReadResult{got, 0};
    }
    const DWORD error = GetLastError();
    return ReadResult{0, error == ERROR_HANDLE_EOF ? 0 : error};
}

bool interrupted(ErrorCode) noexcept
{
    return false;
}

std::vector<NativePath> list_directory(const NativePath& path)
{
    WIN32_FIND_DATAW entry{};
    const HANDLE first = FindFirstFileExW(joined(path, L"*").c_str(), FindExInfoBasic, &entry,
                                          FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
    std::vector<NativePath> names;
    if (first == INVALID_HANDLE_VALUE) {
        // The root of an empty drive has not even "." to list.
        if (GetLastError() == ERROR_FILE_NOT_FOUND) {
            return names;
        }
        fail(path);
    }
    const Search search(first);
    do {
        if (!is_dot_or_dot_dot(entry.cFileName)) {
            names.emplace_back(entry.cFileName);
        }
    } while (FindNextFileW(search.get(), &entry));
    if (GetLastError() != ERROR_NO_MORE_FILES) {
        fail(path);
    }
    return names;
}

// open(path, "wb") gives a file with no attributes beyond the archive bit.
std::optional<File> create_new_file(const NativePath& path)
{
    File file(CreateFileW(path.c_str(), GENERIC_WRITE, share_all, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                          nullptr));
    if (file) {
        return file;
    }
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) {
        return std::nullopt;
    }
    throw SystemError(error, path);
}

void write_all(const File& file, const char* data, std::size_t size, const NativePath& path)
{
    while (size > 0) {
        DWORD written = 0;
        if (!WriteFile(file.get(), data, static_cast<DWORD>(std::min(size, max_transfer)), &written, nullptr)) {
            fail(path);
        }
        data += written;
        size -= written;
    }
}

void truncate_to_empty(const File& file, const NativePath& path)
{
    LARGE_INTEGER start{};
    if (!SetFilePointerEx(file.get(), start, nullptr, FILE_BEGIN) || !SetEndOfFile(file.get())) {
        fail(path);
    }
}

void close_file(File& file, const NativePath& path)
{
    if (!CloseHandle(file.release())) {
        fail(path);
    }
}

// Renaming over a symbolic link replaces the link, not the file it points to.
void replace_file(const NativePath& from, const NativePath& to)
{
    if (!MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        fail(to);
    }
}

void remove_file(const NativePath& path) noexcept
{
    DeleteFileW(path.c_str());
}

// After a bare drive ("C:") no separator is added: "C:" and "x" make "C:x",
// as os.path.join makes it.
namespace {

// A process that is long-path aware, on a system with long paths enabled,
// opens paths beyond MAX_PATH; ntdll tells, where it is new enough to know.
bool long_paths_enabled() noexcept
{
    using Query = unsigned char(WINAPI*)();
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    if (ntdll == nullptr) {
        return false;
    }
    const auto query = reinterpret_cast<Query>(
        reinterpret_cast<void (*)()>(GetProcAddress(ntdll, "RtlAreLongPathsEnabled")));
    return query != nullptr && query() != 0;
}

}

bool is_too_long(const NativePath& directory, NativeName name) noexcept
{
    constexpr std::size_t longest_name = 255;
    if (name.size() > longest_name) {
        return true;
    }
    if (long_paths_enabled()) {
        return false;
    }
    const NativePath path = joined(directory, name);
    const DWORD needed = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    return needed == 0 || needed > MAX_PATH;
}

NativePath joined(const NativePath& directory, NativeName name)
{
    NativePath path = directory;
    if (!path.empty() && !is_separator(path.back()) && path.back() != L':') {
        path += L'\\';
    }
    path += name;
    return path;
}

namespace {

char32_t ascii_upper(char32_t character) noexcept
{
    return character >= U'a' && character <= U'z' ? character - U'a' + U'A' : character;
}

bool equal_ignoring_case(std::u32string_view a, std::u32string_view b) noexcept
{
    return a.size() == b.size()
        && std::equal(a.begin(), a.end(), b.begin(), [](char32_t x, char32_t y) { return ascii_upper(x) == ascii_upper(y); });
}

bool is_device_name(std::u32string_view stem) noexcept
{
    constexpr std::array<std::u32string_view, 6> devices = {U"CON", U"PRN", U"AUX", U"NUL", U"CONIN$", U"CONOUT$"};
    constexpr std::u32string_view port_numbers = U"123456789\u00b9\u00b2\u00b3";
    if (std::any_of(devices.begin(), devices.end(), [&](std::u32string_view device) { return equal_ignoring_case(stem, device); })) {
        return true;
    }
    return stem.size() == 4 && (equal_ignoring_case(stem.substr(0, 3), U"COM") || equal_ignoring_case(stem.substr(0, 3), U"LPT"))
        && port_numbers.find(stem[3]) != std::u32string_view::npos;
}

}

bool is_special_file_name(std::u32string_view name) noexcept
{
    constexpr std::u32string_view refused = U"<>\"|?*";
    const bool unholdable = std::any_of(name.begin(), name.end(), [&](char32_t character) {
        return character < U' ' || refused.find(character) != std::u32string_view::npos;
    });
    if (unholdable || (!name.empty() && (name.back() == U'.' || name.back() == U' '))) {
        return true;
    }
    std::u32string_view stem = name.substr(0, name.find(U'.'));
    while (!stem.empty() && stem.back() == U' ') {
        stem.remove_suffix(1);
    }
    return is_device_name(stem);
}

NativeName base_name(NativeName path)
{
    const auto separator = path.find_last_of(L"/\\");
    if (separator != NativeName::npos) {
        return path.substr(separator + 1);
    }
    const bool has_drive = path.size() >= 2 && path[1] == L':';
    return has_drive ? path.substr(2) : path;
}

bool name_less(NativeName a, NativeName b) noexcept
{
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](wchar_t x, wchar_t y) {
        return code_point_rank(x) < code_point_rank(y);
    });
}

}
