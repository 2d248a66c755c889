#pragma once

#include "main/function.hpp"

namespace pixelmend {

// The command-line front end, `main()`.
extern const FunctionDef main_def;

}
