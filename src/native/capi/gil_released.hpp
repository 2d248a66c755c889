#pragma once

#include <Python.h>

namespace pixelmend {

// Lets other threads run during blocking system calls; the GIL is taken back
// on every way out of the scope, exceptions included.
class GilReleased {
public:
    GilReleased() noexcept : state_(PyEval_SaveThread()) {}
    GilReleased(const GilReleased&) = delete;
    GilReleased& operator=(const GilReleased&) = delete;
    ~GilReleased() { PyEval_RestoreThread(state_); }

private:
    PyThreadState* state_;
};

}
