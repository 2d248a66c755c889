#pragma once

#include <Python.h>

namespace pixelmend {

// Flags for a type of the module's own whose instances come only from our
// code (calling the type makes none) and whose attributes nobody rebinds.
#if PY_VERSION_HEX >= 0x030A0000
inline constexpr unsigned long own_instances_only = Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE;
#else
inline constexpr unsigned long own_instances_only = 0;
#endif

// A heap type made from `module` while it executes, so that each interpreter
// has its own and its methods can reach the module's state; null with an
// exception set on failure.
inline PyObject* new_module_type(PyObject* module, PyType_Spec* spec)
{
    PyObject* type = PyType_FromModuleAndSpec(module, spec, nullptr);
#if PY_VERSION_HEX < 0x030A0000
    if (type != nullptr) {
        reinterpret_cast<PyTypeObject*>(type)->tp_new = nullptr;
    }
#endif
    return type;
}

}
