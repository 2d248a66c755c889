#pragma once

#include "platform/staged_file.hpp"

#include <pybind11/pybind11.h>

#include <cstdint>
#include <vector>

namespace pixelmend {

namespace py = pybind11;

// A result file being downloaded: a StagedFile in the save directory that
// replaces the final name only when `commit` is called, so a failed download
// never leaves a torn file under that name and an earlier file of the same
// name stays intact. Small chunks are gathered in memory and written in
// larger blocks; `commit` writes what is left. Failures raise OSError.
class ResultFile {
public:
    ResultFile(py::handle directory, py::handle final_path);

    void write(py::handle chunk);
    // The bytes written so far, those still gathered in memory included.
    std::uint64_t size() const noexcept { return size_; }
    // Drops every byte written, for the body to be written anew.
    void restart();
    void commit();

private:
    void flush();
    void write_out(const char* data, std::size_t size);

    platform::NativePath final_path_;
    StagedFile staged_;
    std::vector<char> pending_;
    std::uint64_t size_ = 0;
};

}
