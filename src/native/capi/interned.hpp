#pragma once

#include <pybind11/pybind11.h>

#include <utility>

namespace pixelmend {

namespace py = pybind11;

// The names and fixed texts that every operation uses, interned once when the
// module executes: building them from C strings on every call cost more than
// the rest of a call. They belong to the module's state, so that each
// interpreter has its own, and nothing changes them afterwards.
struct InternedNames {
    PyObject* api_key;
    PyObject* key;
    PyObject* option;
    PyObject* confidence_threshold;
    PyObject* display;
    PyObject* color;
    PyObject* country;
    PyObject* segmentation_option;
    PyObject* black_white_option;
    PyObject* colorization_option;
    PyObject* handle_image_path;
    PyObject* handle_image_path_id;
    PyObject* file_does_not_exist;
};

inline constexpr std::pair<PyObject* InternedNames::*, const char*> interned_texts[] = {
    {&InternedNames::api_key, "api_key"},
    {&InternedNames::key, "key"},
    {&InternedNames::option, "option"},
    {&InternedNames::confidence_threshold, "confidence_threshold"},
    {&InternedNames::display, "display"},
    {&InternedNames::color, "color"},
    {&InternedNames::country, "country"},
    {&InternedNames::segmentation_option, "0"},
    {&InternedNames::black_white_option, "1"},
    {&InternedNames::colorization_option, "2"},
    {&InternedNames::handle_image_path, "handle_image_path"},
    {&InternedNames::handle_image_path_id, "handle_image_path_id"},
    {&InternedNames::file_does_not_exist, "File does not exist: "},
};

// Fills every name; -1 with an exception set when one cannot be made, the
// ones made so far left for clear_names().
inline int make_names(InternedNames& names)
{
    for (const auto& [member, text] : interned_texts) {
        names.*member = PyUnicode_InternFromString(text);
        if (names.*member == nullptr) {
            return -1;
        }
    }
    return 0;
}

inline void clear_names(InternedNames& names)
{
    for (const auto& entry : interned_texts) {
        Py_CLEAR(names.*entry.first);
    }
}

}
