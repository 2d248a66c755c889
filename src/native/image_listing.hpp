#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace pixelmend {

// What stat() said when a file was listed; a reader compares it with the file
// it later opens, to notice a file that was replaced or shrank meanwhile.
struct FileIdentity {
    off_t size = 0;
    dev_t device = 0;
    ino_t inode = 0;
};

struct ImageFile {
    std::string path;
    std::string base_name;
    FileIdentity identity;
};

// The files a path asks to upload: the path itself when it is a regular file,
// or the image and video files directly inside it when it is a directory,
// sorted by name. A path that names nothing yields nothing. Touches no Python
// state, so it may run without the GIL. Throws std::filesystem::filesystem_error
// for a file that cannot be read or a directory that cannot be listed.
std::vector<ImageFile> list_image_files(const std::string& path);

}
