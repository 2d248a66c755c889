#include "capi/api_boundary.hpp"
#include "cli/cli.hpp"
#include "main/client.hpp"
#include "cli/command_line_report.hpp"
#include "cli/command_line_run.hpp"
#include "cli/counted_reader.hpp"
#include "main/function.hpp"
#include "main/main_state.hpp"
#include "capi/module_slots.hpp"
#include "capi/new_reference.hpp"
#include "capi/text.hpp"

#include <initializer_list>

namespace pixelmend {

namespace {

// `from <module> import <names>` (relative when level > 0), binding each
// name; returns the module the names came from.
py::module_ import_names(const py::dict& globals, const char* module, int level,
                         std::initializer_list<const char*> names)
{
    py::list fromlist;
    for (const char* name : names) {
        fromlist.append(name);
    }
    auto source = steal_or_throw<py::module_>(
        PyImport_ImportModuleLevel(module, globals.ptr(), nullptr, fromlist.ptr(), level));
    for (const char* name : names) {
        if (!py::hasattr(source, name)) {
            PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%S'", name,
                         py::getattr(source, "__name__", py::str(module)).ptr());
            throw py::error_already_set();
        }
        globals[name] = source.attr(name);
    }
    return source;
}

// The helpers' reader type, known by the module that made it rather than by
// its name: a class of the same name made anywhere else is not ours.
PyObject* upload_file_type_of(const py::module_& helpers)
{
    py::object type = py::getattr(helpers, "UploadFile", py::none());
    if (!PyType_Check(type.ptr())) {
        return nullptr;
    }
    PyObject* maker = PyType_GetModule(reinterpret_cast<PyTypeObject*>(type.ptr()));
    if (maker != helpers.ptr()) {
        PyErr_Clear();
        return nullptr;
    }
    return type.release().ptr();
}

// Run as the main module, the command's failure is the process's exit status.
void exit_on_failure(const MainState& state)
{
    if (last_exit_status(state) != 0) {
        PyErr_SetObject(PyExc_SystemExit, py::int_(last_exit_status(state)).ptr());
        throw py::error_already_set();
    }
}

void start_up(MainState& state, const py::dict& globals)
{
    globals["argparse"] = py::module_::import("argparse");
    globals["requests"] = py::module_::import("requests");
    import_names(globals, "requests_toolbelt.multipart.encoder", 0, {"MultipartEncoder"});
    const py::module_ helpers = import_names(globals, "utils.utils", 1, {"handle_image_path", "handle_image_path_id"});
    state.upload_file_type = upload_file_type_of(helpers);
    globals["os"] = py::module_::import("os");
    globals["urllib3"] = py::module_::import("urllib3");
    import_names(globals, "urllib3.exceptions", 0, {"InsecureRequestWarning"});
    globals["urllib3"].attr("disable_warnings")(globals["InsecureRequestWarning"]);
    globals["Pixelmend"] = make_client_class(state, globals);
    globals["main"] = make_function(state, main_def, py::str("main"), globals);
    if (equals(globals["__name__"], py::str("__main__"))) {
        globals["main"]();
        exit_on_failure(state);
    }
}

MainState* state_of_module(PyObject* module)
{
    return static_cast<MainState*>(PyModule_GetState(module));
}

// What the module keeps for its life, all made before any of its code can
// run; -1 with an exception set when something cannot be made.
int make_state(PyObject* module, MainState& state)
{
    state.make_exchange_report = command_line_report;
    if (make_names(state.names) < 0) {
        return -1;
    }
    state.function_type = new_function_type(module);
    if (state.function_type == nullptr) {
        return -1;
    }
    state.counted_reader_type = new_counted_reader_type(module);
    if (state.counted_reader_type == nullptr) {
        return -1;
    }
    state.context_runs_type = new_context_runs_type(module);
    if (state.context_runs_type == nullptr) {
        return -1;
    }
    state.runs_variable = PyContextVar_New("pixelmend.main.command_line_runs", nullptr);
    return state.runs_variable != nullptr ? 0 : -1;
}

int exec_main(PyObject* module) noexcept
{
    MainState& state = *state_of_module(module);
    if (make_state(module, state) < 0) {
        return -1;
    }
    return guarded_status([module, &state] {
        prepare_error_handling();
        start_up(state, py::reinterpret_borrow<py::dict>(PyModule_GetDict(module)));
    });
}

int traverse_main(PyObject* module, visitproc visit, void* arg) noexcept
{
    MainState* state = state_of_module(module);
    if (state == nullptr) {
        return 0;
    }
    for (PyObject* MainState::*member : owned_references) {
        Py_VISIT(state->*member);
    }
    return 0;
}

int clear_main(PyObject* module) noexcept
{
    MainState* state = state_of_module(module);
    if (state == nullptr) {
        return 0;
    }
    for (PyObject* MainState::*member : owned_references) {
        Py_CLEAR(state->*member);
    }
    clear_names(state->names);
    return 0;
}

PyModuleDef main_module = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "main",
    .m_doc = nullptr,
    .m_size = sizeof(MainState),
    .m_methods = nullptr,
    .m_slots = module_slots<exec_main>,
    .m_traverse = traverse_main,
    .m_clear = clear_main,
    .m_free = free_module<clear_main>,
};

}

MainState& state_of_type(PyTypeObject* type)
{
    return *static_cast<MainState*>(PyType_GetModuleState(type));
}

}

PyMODINIT_FUNC PyInit_main() noexcept
{
    return PyModuleDef_Init(&pixelmend::main_module);
}
