#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <vector>

namespace pixelmend {

namespace py = pybind11;

// A result file being downloaded. The bytes go to a temporary file beside
// the final one, which replaces the final name only when `commit` is called,
// so a failed download never leaves a torn file under that name and an
// earlier file of the same name stays intact. A file never committed is
// removed when this object goes away. Small chunks are gathered in memory and
// written in larger blocks; `commit` writes what is left.
class ResultFile {
public:
    ResultFile(py::handle directory, py::handle final_path);
    ResultFile(const ResultFile&) = delete;
    ResultFile& operator=(const ResultFile&) = delete;
    ~ResultFile();

    void write(py::handle chunk);
    void commit();

private:
    void flush();
    void write_out(const char* data, std::size_t size);

    std::string final_path_;
    py::object final_path_object_;
    std::string temporary_path_;
    int fd_ = -1;
    std::vector<char> pending_;
};

}
