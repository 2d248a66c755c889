#pragma once

#include "exchange/exchange_report.hpp"
#include "main/main_state.hpp"

#include <memory>

namespace pixelmend {

// The report of an exchange run by the command-line call in this context:
// its progress display and whether it did its work. An exchange run from
// anywhere else (the library, another thread or greenlet) gets a silent one.
std::unique_ptr<ExchangeReport> command_line_report(const MainState& state);

}
