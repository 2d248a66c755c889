#pragma once

#include <Python.h>

namespace pixelmend {

// The slots of both modules: `Exec` fills the module's state and namespace.
// Each module keeps its state per module, and pybind11 its own per
// interpreter, so from 3.13 on an isolated interpreter with its own GIL
// loads them. CPython 3.12's isolated interpreters abort at exit after
// importing requests alone ("free(): invalid pointer", nothing of ours
// loaded), so there the modules keep refusing them with an ImportError. On a
// free-threaded build they leave the GIL off: what they keep never changes
// after Exec, and what changes is guarded by critical sections.
template <auto Exec>
inline PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(Exec)},
#if PY_VERSION_HEX >= 0x030D0000
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#elif PY_VERSION_HEX >= 0x030C0000
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
#ifdef Py_GIL_DISABLED
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

// The m_free of a module whose m_clear lets go of everything it keeps.
template <auto Clear>
void free_module(void* module) noexcept
{
    Clear(static_cast<PyObject*>(module));
}

}
