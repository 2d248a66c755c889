#include <Python.h>

namespace {

PyObject* not_built(PyObject*, PyObject* const*, Py_ssize_t)
{
    PyErr_SetString(PyExc_NotImplementedError, "image path helpers are not built yet");
    return nullptr;
}

PyMethodDef utils_methods[] = {
    {"handle_image_path", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(not_built)), METH_FASTCALL, nullptr},
    {"handle_image_path_id", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(not_built)), METH_FASTCALL, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot utils_slots[] = {{0, nullptr}};

PyModuleDef utils_module = {
    PyModuleDef_HEAD_INIT, "utils", nullptr, 0, utils_methods, utils_slots, nullptr, nullptr, nullptr,
};

}

PyMODINIT_FUNC PyInit_utils()
{
    return PyModuleDef_Init(&utils_module);
}
