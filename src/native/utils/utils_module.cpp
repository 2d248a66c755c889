#include "capi/api_boundary.hpp"
#include "capi/call_arguments.hpp"
#include "capi/fastcall_method.hpp"
#include "capi/module_slots.hpp"
#include "utils/image_fields.hpp"
#include "utils/upload_file.hpp"

namespace pixelmend {

namespace {

// What the module keeps for its life, made when it executes and never
// changed afterwards; each interpreter that loads the module has its own.
struct UtilsState {
    PyObject* upload_file_type;
};

UtilsState& utils_state(PyObject* module)
{
    return *static_cast<UtilsState*>(PyModule_GetState(module));
}

const std::array<const char*, 2> image_path_parameters = {"fields", "image_path"};
const std::array<const char*, 3> image_path_id_parameters = {"fields", "image_path", "to_compare"};

py::object image_path_fields(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* keyword_names)
{
    const CallArguments<2> arguments("handle_image_path", image_path_parameters, args, nargs, keyword_names);
    py::list fields = copy_fields(arguments[0]);
    const auto images = images_at(arguments[1]);
    if (images.empty()) {
        return py::bool_(false);
    }
    append_images(fields, "image", images, guess_type_function(), utils_state(module).upload_file_type);
    return fields;
}

py::object image_path_id_fields(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* keyword_names)
{
    const CallArguments<3> arguments("handle_image_path_id", image_path_id_parameters, args, nargs, keyword_names);
    py::list fields = copy_fields(arguments[0]);
    const auto images = images_at(arguments[1]);
    const auto compared = images_at(arguments[2]);
    if (images.empty() || compared.empty()) {
        return py::bool_(false);
    }
    const py::object guess_type = guess_type_function();
    const py::handle reader_type = utils_state(module).upload_file_type;
    append_images(fields, "image", images, guess_type, reader_type);
    append_images(fields, "image_to_compare", compared, guess_type, reader_type);
    return fields;
}

PyObject* handle_image_path(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* keyword_names) noexcept
{
    return guarded([&] { return image_path_fields(module, args, nargs, keyword_names); });
}

PyObject* handle_image_path_id(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* keyword_names) noexcept
{
    return guarded([&] { return image_path_id_fields(module, args, nargs, keyword_names); });
}

PyMethodDef utils_methods[] = {
    {"handle_image_path", fastcall_method<handle_image_path>(), METH_FASTCALL | METH_KEYWORDS,
     "handle_image_path($module, /, fields, image_path)\n--\n\n"},
    {"handle_image_path_id", fastcall_method<handle_image_path_id>(), METH_FASTCALL | METH_KEYWORDS,
     "handle_image_path_id($module, /, fields, image_path, to_compare)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

int exec_utils(PyObject* module) noexcept
{
    if (guarded_status(prepare_error_handling) < 0) {
        return -1;
    }
    UtilsState& state = utils_state(module);
    state.upload_file_type = new_upload_file_type(module);
    if (state.upload_file_type == nullptr) {
        return -1;
    }
    Py_INCREF(state.upload_file_type);
    if (PyModule_AddObject(module, "UploadFile", state.upload_file_type) < 0) {
        Py_DECREF(state.upload_file_type);
        return -1;
    }
    return 0;
}

int traverse_utils(PyObject* module, visitproc visit, void* arg) noexcept
{
    auto* state = static_cast<UtilsState*>(PyModule_GetState(module));
    if (state != nullptr) {
        Py_VISIT(state->upload_file_type);
    }
    return 0;
}

int clear_utils(PyObject* module) noexcept
{
    auto* state = static_cast<UtilsState*>(PyModule_GetState(module));
    if (state != nullptr) {
        Py_CLEAR(state->upload_file_type);
    }
    return 0;
}

PyModuleDef utils_module = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "pixelmend.utils.utils",
    .m_doc = nullptr,
    .m_size = sizeof(UtilsState),
    .m_methods = utils_methods,
    .m_slots = module_slots<exec_utils>,
    .m_traverse = traverse_utils,
    .m_clear = clear_utils,
    .m_free = free_module<clear_utils>,
};

}

}

PyMODINIT_FUNC PyInit_utils() noexcept
{
    return PyModuleDef_Init(&pixelmend::utils_module);
}
