#include "api_boundary.hpp"
#include "call_arguments.hpp"
#include "image_fields.hpp"
#include "upload_file.hpp"

namespace pixelmend {

namespace {

const std::array<const char*, 2> image_path_parameters = {"fields", "image_path"};
const std::array<const char*, 3> image_path_id_parameters = {"fields", "image_path", "to_compare"};

py::object image_path_fields(PyObject* const* args, Py_ssize_t nargs, PyObject* keyword_names)
{
    const CallArguments<2> arguments("handle_image_path", image_path_parameters, args, nargs, keyword_names);
    py::list fields = copy_fields(arguments[0]);
    const auto images = images_at(arguments[1]);
    if (images.empty()) {
        return py::bool_(false);
    }
    append_images(fields, "image", images, guess_type_function());
    return fields;
}

py::object image_path_id_fields(PyObject* const* args, Py_ssize_t nargs, PyObject* keyword_names)
{
    const CallArguments<3> arguments("handle_image_path_id", image_path_id_parameters, args, nargs, keyword_names);
    py::list fields = copy_fields(arguments[0]);
    const auto images = images_at(arguments[1]);
    const auto compared = images_at(arguments[2]);
    if (images.empty() || compared.empty()) {
        return py::bool_(false);
    }
    const py::object guess_type = guess_type_function();
    append_images(fields, "image", images, guess_type);
    append_images(fields, "image_to_compare", compared, guess_type);
    return fields;
}

PyObject* handle_image_path(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* keyword_names)
{
    return guarded([&] { return image_path_fields(args, nargs, keyword_names); });
}

PyObject* handle_image_path_id(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* keyword_names)
{
    return guarded([&] { return image_path_id_fields(args, nargs, keyword_names); });
}

template <auto Function>
PyCFunction fastcall_keywords()
{
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Function));
}

PyMethodDef utils_methods[] = {
    {"handle_image_path", fastcall_keywords<handle_image_path>(), METH_FASTCALL | METH_KEYWORDS,
     "handle_image_path($module, /, fields, image_path)\n--\n\n"},
    {"handle_image_path_id", fastcall_keywords<handle_image_path_id>(), METH_FASTCALL | METH_KEYWORDS,
     "handle_image_path_id($module, /, fields, image_path, to_compare)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

int exec_utils(PyObject* module)
{
    PyObject* prepared = guarded([] {
        prepare_error_handling();
        return py::none();
    });
    Py_XDECREF(prepared);
    return prepared != nullptr ? add_upload_file_type(module) : -1;
}

// The reader type is static and pybind11's shared state is the process's, so
// an interpreter with its own objects must not load the module.
PyModuleDef_Slot utils_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_utils)},
#if PY_VERSION_HEX >= 0x030C0000
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
    {0, nullptr},
};

PyModuleDef utils_module = {
    PyModuleDef_HEAD_INIT, "pixelmend.utils.utils", nullptr, 0, utils_methods, utils_slots, nullptr, nullptr, nullptr,
};

}

}

PyMODINIT_FUNC PyInit_utils()
{
    return PyModuleDef_Init(&pixelmend::utils_module);
}
