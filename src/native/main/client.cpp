#include "main/client.hpp"

#include "exchange/exchange.hpp"
#include "main/function.hpp"
#include "capi/new_reference.hpp"
#include "capi/text.hpp"

namespace pixelmend {

namespace {

py::object pair(py::handle name, py::handle value)
{
    return steal_or_throw(PyTuple_Pack(2, name.ptr(), value.ptr()));
}

py::list fields_with_key(const Call& call)
{
    const InternedNames& names = call.state.names;
    py::list fields;
    fields.append(pair(names.api_key, py::getattr(call[0], names.key)));
    return fields;
}

py::object run_exchange(const Call& call, const char* endpoint, py::list fields, py::handle to_compare = {})
{
    return exchange(call.state, call.globals, Upload{endpoint, std::move(fields), call[1], to_compare});
}

py::object init(const Call& call)
{
    py::setattr(call[0], "key", call[1]);
    return py::none();
}

py::object transform(const Call& call, const char* endpoint, py::handle option)
{
    py::list fields = fields_with_key(call);
    fields.append(pair(call.state.names.option, option));
    return run_exchange(call, endpoint, std::move(fields));
}

py::object segment_image(const Call& call)
{
    return transform(call, "/vision/v0/segmention-masks", call.state.names.segmentation_option);
}

py::object black_white(const Call& call)
{
    return transform(call, "/vision/v0/black-white", call.state.names.black_white_option);
}

py::object colorization(const Call& call)
{
    return transform(call, "/vision/v0/colorization", call.state.names.colorization_option);
}

// Arguments: self, image_path, display, confidence_threshold, option, color.
// The fields go out in another order than the parameters: option first.
py::object smart_object_detection(const Call& call)
{
    const InternedNames& names = call.state.names;
    py::list fields = fields_with_key(call);
    fields.append(pair(names.option, call[4]));
    fields.append(pair(names.confidence_threshold, call[3]));
    fields.append(pair(names.display, call[2]));
    if (is_true(call[5])) {
        fields.append(pair(names.color, call[5]));
    }
    return run_exchange(call, "/vision/v0/smart-object-detection", std::move(fields));
}

py::object get_identity_data(const Call& call)
{
    py::list fields = fields_with_key(call);
    fields.append(py::make_tuple("country", call[2].attr("upper")()));
    return run_exchange(call, "/vision/v0/getIdentityData", std::move(fields));
}

py::object face_id_verification(const Call& call)
{
    return run_exchange(call, "/vision/v0/faceIdVerification", fields_with_key(call), call[2]);
}

// dir(object): the errors of a raising __dir__, or of one whose result is not
// iterable, propagate as dir() raises them.
py::list attribute_names(py::handle object)
{
    return steal_or_throw<py::list>(PyObject_Dir(object.ptr()));
}

py::object list_methods(const Call& call)
{
    py::list names;
    for (py::handle name : attribute_names(call[0])) {
        py::object value = py::getattr(call[0], name);
        if (PyCallable_Check(value.ptr()) && !is_true(name.attr("startswith")("_"))) {
            names.append(name);
        }
    }
    return names;
}

const Parameter self_only[] = {{"self"}};
const Parameter self_and_key[] = {{"self"}, {"key", nullptr, true}};
const Parameter self_and_image[] = {{"self"}, {"image_path", nullptr, true}};
const Parameter detection_parameters[] = {
    {"self"},
    {"image_path", nullptr, true},
    {"display", "Boxes"},
    {"confidence_threshold", "0.25"},
    {"option", "0"},
    {"color", ""},
};
const Parameter identity_parameters[] = {{"self"}, {"image_path", nullptr, true}, {"country"}};
const Parameter verification_parameters[] = {{"self"}, {"image_path", nullptr, true}, {"to_compare"}};

const FunctionDef methods[] = {
    {"__init__", self_and_key, init},
    {"segment_image", self_and_image, segment_image},
    {"black_white", self_and_image, black_white},
    {"colorization", self_and_image, colorization},
    {"smart_object_detection", detection_parameters, smart_object_detection},
    {"get_identity_data", identity_parameters, get_identity_data},
    {"face_id_verification", verification_parameters, face_id_verification},
    {"list_methods", self_only, list_methods},
};

}

py::object make_client_class(const MainState& state, const py::dict& globals)
{
    py::dict namespace_;
    namespace_["__module__"] = globals["__name__"];
    namespace_["__qualname__"] = "Pixelmend";
    for (const FunctionDef& def : methods) {
        namespace_[def.name] = make_function(state, def, concat({py::str("Pixelmend."), py::str(def.name)}), globals);
    }
    py::object type = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyType_Type));
    return type("Pixelmend", py::make_tuple(py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyBaseObject_Type))), namespace_);
}

}
