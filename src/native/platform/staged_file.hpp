#pragma once

#include "platform/platform.hpp"

#include <cstddef>

namespace pixelmend {

// A file written under a temporary name in the directory of its final name,
// which it replaces only when `commit` is called: a failed write never leaves
// a torn file under the final name, and an earlier file of that name stays
// intact. A file never committed is removed when this object goes away.
// Failures throw platform::SystemError; nothing here touches Python.
class StagedFile {
public:
    explicit StagedFile(const platform::NativePath& directory);
    StagedFile(const StagedFile&) = delete;
    StagedFile& operator=(const StagedFile&) = delete;
    ~StagedFile();

    void write(const char* data, std::size_t size);
    // Drops what was written, for the file to be written anew.
    void clear();
    void commit(const platform::NativePath& final_path);

    const platform::NativePath& temporary_path() const noexcept { return temporary_path_; }

private:
    platform::NativePath temporary_path_;
    platform::File file_;
};

}
