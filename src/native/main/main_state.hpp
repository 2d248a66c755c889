#pragma once

#include "exchange/exchange_report.hpp"
#include "capi/interned.hpp"

namespace pixelmend {

// Everything pixelmend.main keeps for its whole life, made when the module
// executes and never changed afterwards. It lives in the module's state, so
// that each interpreter that loads the module has its own; nothing of it is
// process-wide. Every member but the report maker is an owned reference.
struct MainState {
    // The callable type of the class's functions and of main().
    PyObject* function_type;
    // The upload body that counts the bytes handed over, for progress.
    PyObject* counted_reader_type;
    // The holder of one context's command-line calls, and the context
    // variable that holds it.
    PyObject* context_runs_type;
    PyObject* runs_variable;
    // The image path helpers' reader type, taken from the utils module that
    // start-up imports; null when that module offers none.
    PyObject* upload_file_type;
    InternedNames names;
    // Makes the report of each exchange. The exchange lies below the command
    // line and must not reach up into it, so the module, which knows both,
    // puts the command line's maker here when it executes.
    ExchangeReportMaker make_exchange_report;
};

// The members that are owned references: the module's traverse visits them
// and its clear lets go of them.
inline constexpr PyObject* MainState::*owned_references[] = {
    &MainState::function_type, &MainState::counted_reader_type, &MainState::context_runs_type,
    &MainState::runs_variable, &MainState::upload_file_type,
};

// The state of the module that made `type`.
MainState& state_of_type(PyTypeObject* type);

}
