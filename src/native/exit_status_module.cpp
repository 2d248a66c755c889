#include "command_line_run.hpp"

// pixelmend._exit_status: a second module in the library of pixelmend.main
// (loaded from that file by pixelmend._cli), so that the entry points read
// the outcome main() keeps without main's namespace gaining a name.

namespace pixelmend {

namespace {

PyObject* last(PyObject*, PyObject*)
{
    return PyLong_FromLong(last_exit_status());
}

PyMethodDef exit_status_methods[] = {
    {"last", last, METH_NOARGS, "last($module, /)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot exit_status_slots[] = {
#if PY_VERSION_HEX >= 0x030C0000
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
    {0, nullptr},
};

PyModuleDef exit_status_module = {
    PyModuleDef_HEAD_INIT, "pixelmend._exit_status", nullptr, 0, exit_status_methods, exit_status_slots,
    nullptr, nullptr, nullptr,
};

}

}

PyMODINIT_FUNC PyInit__exit_status()
{
    return PyModuleDef_Init(&pixelmend::exit_status_module);
}
