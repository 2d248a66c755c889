#include "utils/image_fields.hpp"

#include "capi/gil_released.hpp"
#include "capi/native_path.hpp"
#include "capi/new_reference.hpp"
#include "utils/upload_file.hpp"

namespace pixelmend {

namespace {

constexpr const char* unknown_content_type = "application/octet-stream";

py::object content_type(const py::object& guess_type, const py::str& file_name)
{
    py::object guessed = guess_type(file_name)[py::int_(0)];
    return guessed.is_none() ? py::str(unknown_content_type) : guessed;
}

// Like Python's hasattr(): only AttributeError means "no such attribute".
py::object items_method(py::handle fields)
{
    return steal_catching(PyObject_GetAttrString(fields.ptr(), "items"), PyExc_AttributeError);
}

py::list new_list(py::handle iterable)
{
    return steal_or_throw<py::list>(PySequence_List(iterable.ptr()));
}

}

std::vector<ImageFile> images_at(py::handle image_path)
{
    if (image_path.is_none()) {
        return {};
    }
    const platform::NativePath path = native_path(image_path);
    GilReleased released;
    return list_image_files(path);
}

py::list copy_fields(py::handle fields)
{
    const py::object items = items_method(fields);
    return items ? new_list(items()) : new_list(fields);
}

py::object guess_type_function()
{
    return py::module_::import("mimetypes").attr("guess_type");
}

void append_images(py::list& fields, const char* field, const std::vector<ImageFile>& files,
                   const py::object& guess_type, py::handle reader_type)
{
    const py::str field_name(field);
    for (const ImageFile& file : files) {
        const py::str file_name = native_name_text(file.base_name);
        fields.append(py::make_tuple(field_name, py::make_tuple(file_name, make_upload_file(reader_type, file),
                                                                content_type(guess_type, file_name))));
    }
}

}
