#include "platform/staged_file.hpp"

#include <cstdio>
#include <random>
#include <string>

namespace pixelmend {

namespace {

// A hidden name that no other download picks, so it never collides with a
// result and directory listings skip it.
platform::NativePath temporary_name()
{
    static thread_local std::mt19937_64 generator{std::random_device{}()};
    char text[40];
    std::snprintf(text, sizeof text, ".pixelmend-%016llx.part", static_cast<unsigned long long>(generator()));
    return platform::NativePath(text, text + std::char_traits<char>::length(text));
}

}

StagedFile::StagedFile(const platform::NativePath& directory)
{
    const platform::NativePath in_directory = directory.empty() ? platform::NativePath(1, '.') : directory;
    for (;;) {
        temporary_path_ = platform::joined(in_directory, temporary_name());
        if (auto created = platform::create_new_file(temporary_path_)) {
            file_ = std::move(*created);
            return;
        }
    }
}

StagedFile::~StagedFile()
{
    if (!temporary_path_.empty()) {
        file_.reset();
        platform::remove_file(temporary_path_);
    }
}

void StagedFile::write(const char* data, std::size_t size)
{
    platform::write_all(file_, data, size, temporary_path_);
}

void StagedFile::clear()
{
    platform::truncate_to_empty(file_, temporary_path_);
}

void StagedFile::commit(const platform::NativePath& final_path)
{
    platform::close_file(file_, temporary_path_);
    platform::replace_file(temporary_path_, final_path);
    temporary_path_.clear();
}

}
