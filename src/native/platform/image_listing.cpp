#include "platform/image_listing.hpp"

#include <algorithm>
#include <array>
#include <optional>
#include <string_view>

namespace pixelmend {

namespace {

using platform::NativeName;
using platform::NativePath;
using platform::PathChar;

constexpr std::array<std::string_view, 12> media_extensions = {
    "jpg", "jpeg", "png", "bmp", "gif", "tif", "tiff", "webp", "mp4", "avi", "mov", "mkv",
};

PathChar lower_ascii(PathChar c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<PathChar>(c - 'A' + 'a') : c;
}

bool same_ignoring_case(NativeName text, std::string_view lower)
{
    return std::equal(text.begin(), text.end(), lower.begin(), lower.end(),
                      [](PathChar a, char b) { return lower_ascii(a) == static_cast<PathChar>(b); });
}

bool is_media_name(NativeName name)
{
    const auto dot = name.rfind('.');
    if (name.empty() || name.front() == '.' || dot == NativeName::npos) {
        return false;
    }
    const auto extension = name.substr(dot + 1);
    return std::any_of(media_extensions.begin(), media_extensions.end(),
                       [extension](std::string_view known) { return same_ignoring_case(extension, known); });
}

std::optional<ImageFile> listed_file(const NativePath& directory, NativePath name)
{
    NativePath path = platform::joined(directory, name);
    const auto status = platform::status_at(path);
    if (!status || status->kind != platform::FileKind::regular) {
        return std::nullopt;
    }
    platform::require_readable(path);
    return ImageFile{std::move(path), std::move(name), status->identity};
}

std::vector<ImageFile> list_directory(const NativePath& path)
{
    std::vector<ImageFile> files;
    for (NativePath& name : platform::list_directory(path)) {
        if (!is_media_name(name)) {
            continue;
        }
        if (auto file = listed_file(path, std::move(name))) {
            files.push_back(std::move(*file));
        }
    }
    std::sort(files.begin(), files.end(),
              [](const ImageFile& a, const ImageFile& b) { return platform::name_less(a.base_name, b.base_name); });
    return files;
}

}

std::vector<ImageFile> list_image_files(const NativePath& path)
{
    const auto status = platform::status_at(path);
    if (status && status->kind == platform::FileKind::directory) {
        return list_directory(path);
    }
    if (!status || status->kind != platform::FileKind::regular) {
        return {};
    }
    platform::require_readable(path);
    return {ImageFile{path, NativePath(platform::base_name(path)), status->identity}};
}

}
