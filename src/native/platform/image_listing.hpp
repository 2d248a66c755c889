#pragma once

#include "platform/platform.hpp"

#include <vector>

namespace pixelmend {

struct ImageFile {
    platform::NativePath path;
    platform::NativePath base_name;
    // What the file was when listed; a reader compares it with the file it
    // later opens, to notice a file that was replaced or shrank meanwhile.
    platform::FileIdentity identity;
};

// The files a path asks to upload: the path itself when it is a regular file,
// or the image and video files directly inside it when it is a directory,
// sorted by name. A path that names nothing yields nothing. Touches no Python
// state, so it may run without the GIL. Throws platform::SystemError for a
// file that cannot be read or a directory that cannot be listed.
std::vector<ImageFile> list_image_files(const platform::NativePath& path);

}
