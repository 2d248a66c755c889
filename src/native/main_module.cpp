#include "api_boundary.hpp"
#include "cli.hpp"
#include "client.hpp"
#include "command_line_run.hpp"
#include "function.hpp"
#include "text.hpp"

#include <initializer_list>

namespace pixelmend {

namespace {

// `from <module> import <names>` (relative when level > 0), binding each name.
void import_names(const py::dict& globals, const char* module, int level, std::initializer_list<const char*> names)
{
    py::list fromlist;
    for (const char* name : names) {
        fromlist.append(name);
    }
    PyObject* imported = PyImport_ImportModuleLevel(module, globals.ptr(), nullptr, fromlist.ptr(), level);
    if (imported == nullptr) {
        throw py::error_already_set();
    }
    auto source = py::reinterpret_steal<py::module_>(imported);
    for (const char* name : names) {
        if (!py::hasattr(source, name)) {
            PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%S'", name,
                         py::getattr(source, "__name__", py::str(module)).ptr());
            throw py::error_already_set();
        }
        globals[name] = source.attr(name);
    }
}

// Run as the main module, the command's failure is the process's exit status.
void exit_on_failure()
{
    if (last_exit_status() != 0) {
        PyErr_SetObject(PyExc_SystemExit, py::int_(last_exit_status()).ptr());
        throw py::error_already_set();
    }
}

void start_up(const py::dict& globals)
{
    globals["argparse"] = py::module_::import("argparse");
    globals["requests"] = py::module_::import("requests");
    import_names(globals, "requests_toolbelt.multipart.encoder", 0, {"MultipartEncoder"});
    import_names(globals, "utils.utils", 1, {"handle_image_path", "handle_image_path_id"});
    globals["os"] = py::module_::import("os");
    globals["urllib3"] = py::module_::import("urllib3");
    import_names(globals, "urllib3.exceptions", 0, {"InsecureRequestWarning"});
    globals["urllib3"].attr("disable_warnings")(globals["InsecureRequestWarning"]);
    globals["Pixelmend"] = make_client_class(globals);
    globals["main"] = make_function(main_def, py::str("main"), globals);
    if (equals(globals["__name__"], py::str("__main__"))) {
        globals["main"]();
        exit_on_failure();
    }
}

int exec_main(PyObject* module)
{
    PyObject* done = guarded([module] {
        prepare_error_handling();
        start_up(py::reinterpret_borrow<py::dict>(PyModule_GetDict(module)));
        return py::none();
    });
    Py_XDECREF(done);
    return done != nullptr ? 0 : -1;
}

PyModuleDef_Slot main_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_main)},
#if PY_VERSION_HEX >= 0x030C0000
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
    {0, nullptr},
};

PyModuleDef main_module = {
    PyModuleDef_HEAD_INIT, "main", nullptr, 0, nullptr, main_slots, nullptr, nullptr, nullptr,
};

}

}

PyMODINIT_FUNC PyInit_main()
{
    return PyModuleDef_Init(&pixelmend::main_module);
}
