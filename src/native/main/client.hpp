#pragma once

#include "main/main_state.hpp"

#include <pybind11/pybind11.h>

namespace pixelmend {

namespace py = pybind11;

// The class Pixelmend, made by `type` like a class statement would make it,
// its functions reading their names from `globals`.
py::object make_client_class(const MainState& state, const py::dict& globals);

}
