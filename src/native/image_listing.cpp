#include "image_listing.hpp"

#include "unique_fd.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <filesystem>
#include <memory>
#include <optional>
#include <string_view>
#include <system_error>

namespace pixelmend {

namespace {

constexpr std::array<std::string_view, 12> media_extensions = {
    "jpg", "jpeg", "png", "bmp", "gif", "tif", "tiff", "webp", "mp4", "avi", "mov", "mkv",
};

struct DirectoryCloser {
    void operator()(DIR* directory) const noexcept { closedir(directory); }
};

using Directory = std::unique_ptr<DIR, DirectoryCloser>;

[[noreturn]] void fail(int error, const std::string& path)
{
    throw std::filesystem::filesystem_error("cannot read", path, std::error_code(error, std::generic_category()));
}

// Errors that mean "there is no such file", as opposed to one we may not read.
bool names_nothing(int error)
{
    return error == ENOENT || error == ENOTDIR || error == ELOOP || error == ENAMETOOLONG;
}

char lower_ascii(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool same_ignoring_case(std::string_view text, std::string_view lower)
{
    return std::equal(text.begin(), text.end(), lower.begin(), lower.end(),
                      [](char a, char b) { return lower_ascii(a) == b; });
}

bool is_media_name(std::string_view name)
{
    const auto dot = name.rfind('.');
    if (name.empty() || name.front() == '.' || dot == std::string_view::npos) {
        return false;
    }
    const auto extension = name.substr(dot + 1);
    return std::any_of(media_extensions.begin(), media_extensions.end(),
                       [extension](std::string_view known) { return same_ignoring_case(extension, known); });
}

std::string joined(const std::string& directory, std::string_view name)
{
    std::string path = directory;
    if (!path.empty() && path.back() != '/') {
        path += '/';
    }
    path += name;
    return path;
}

std::string base_name(const std::string& path)
{
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

FileIdentity identity_of(const struct stat& status)
{
    return FileIdentity{status.st_size, status.st_dev, status.st_ino};
}

// stat() that follows symbolic links; nothing for a name that resolves to nothing.
std::optional<struct stat> status_at(int directory, const char* name, const std::string& path)
{
    struct stat status {};
    if (fstatat(directory, name, &status, 0) == 0) {
        return status;
    }
    if (names_nothing(errno)) {
        return std::nullopt;
    }
    fail(errno, path);
}

// Refusing up front beats failing halfway through a streamed upload.
void require_readable(int directory, const char* name, const std::string& path)
{
    if (faccessat(directory, name, R_OK, AT_EACCESS) != 0) {
        fail(errno, path);
    }
}

Directory open_directory(const std::string& path)
{
    UniqueFd fd(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    Directory directory(fd ? fdopendir(fd.get()) : nullptr);
    if (!directory) {
        fail(errno, path);
    }
    fd.release();
    return directory;
}

const dirent* next_entry(DIR* directory, const std::string& path)
{
    errno = 0;
    const dirent* entry = readdir(directory);
    if (entry == nullptr && errno != 0) {
        fail(errno, path);
    }
    return entry;
}

std::optional<ImageFile> listed_file(int directory, const char* name, const std::string& directory_path)
{
    std::string path = joined(directory_path, name);
    const auto status = status_at(directory, name, path);
    if (!status || !S_ISREG(status->st_mode)) {
        return std::nullopt;
    }
    require_readable(directory, name, path);
    return ImageFile{std::move(path), name, identity_of(*status)};
}

std::vector<ImageFile> list_directory(const std::string& path)
{
    const Directory directory = open_directory(path);
    std::vector<ImageFile> files;
    while (const dirent* entry = next_entry(directory.get(), path)) {
        if (!is_media_name(entry->d_name)) {
            continue;
        }
        if (auto file = listed_file(dirfd(directory.get()), entry->d_name, path)) {
            files.push_back(std::move(*file));
        }
    }
    std::sort(files.begin(), files.end(),
              [](const ImageFile& a, const ImageFile& b) { return a.base_name < b.base_name; });
    return files;
}

}

std::vector<ImageFile> list_image_files(const std::string& path)
{
    const auto status = status_at(AT_FDCWD, path.c_str(), path);
    if (status && S_ISDIR(status->st_mode)) {
        return list_directory(path);
    }
    if (!status || !S_ISREG(status->st_mode)) {
        return {};
    }
    require_readable(AT_FDCWD, path.c_str(), path);
    return {ImageFile{path, base_name(path), identity_of(*status)}};
}

}
