#pragma once

#include <pybind11/pybind11.h>

namespace pixelmend {

namespace py = pybind11;

// Looks a name up the way a Python function does at run time: the module
// namespace first, then the builtins; NameError otherwise. The value comes
// back as a reference of the caller's own, so another thread rebinding the
// name meanwhile cannot free it under the caller.
py::object lookup_global(const py::dict& globals, py::handle name);
py::object lookup_global(const py::dict& globals, const char* name);

}
