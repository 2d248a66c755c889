#pragma once

#include "main/function.hpp"
#include "capi/interned.hpp"

#include <pybind11/pybind11.h>

#include <algorithm>
#include <cstddef>
#include <iterator>
#include <span>

namespace pixelmend {

namespace py = pybind11;

// Room in a row for parameters, fields and command-line values; a row that
// needs more does not compile until the room grows.
inline constexpr std::size_t operation_room = 6;

// Where one field of an upload takes its value from.
enum class FieldValue : unsigned char {
    argument,              // the argument, as given
    argument_when_true,    // the argument, and no field at all when it is false
    argument_upper_cased,  // the argument's upper()
    fixed,                 // a fixed interned text
};

// One (name, value) pair that an operation sends after the API key. Names
// and fixed values are interned texts of the module state; `argument`
// counts the operation's parameters from self (0), image_path being 1.
struct Field {
    PyObject* InternedNames::*name = nullptr;
    FieldValue value = FieldValue::argument;
    std::size_t argument = 0;
    PyObject* InternedNames::*fixed = nullptr;
};

constexpr Field argument_field(PyObject* InternedNames::*name, std::size_t argument)
{
    return {name, FieldValue::argument, argument};
}

constexpr Field field_when_true(PyObject* InternedNames::*name, std::size_t argument)
{
    return {name, FieldValue::argument_when_true, argument};
}

constexpr Field upper_cased_field(PyObject* InternedNames::*name, std::size_t argument)
{
    return {name, FieldValue::argument_upper_cased, argument};
}

constexpr Field fixed_field(PyObject* InternedNames::*name, PyObject* InternedNames::*value)
{
    return {name, FieldValue::fixed, 0, value};
}

// One operation of the client, and how the command line runs it. Every
// operation takes self and image_path first, sends (api_key, self.key) and
// then its fields in the order listed, and uploads image_path with the
// argument `second_image` as the image to compare when that is not 0.
// The command line calls it with its image_path value followed by the
// values of `command_line_values`, by position; when `required_option` is
// set and that value is false, it prints `missing_option_message` instead.
struct Operation {
    const char* name = nullptr;
    const char* endpoint = nullptr;
    Parameter parameters[operation_room] = {};
    Field fields[operation_room] = {};
    std::size_t second_image = 0;
    const char* description = nullptr;
    const char* command_line_values[operation_room] = {};
    const char* required_option = nullptr;
    const char* missing_option_message = nullptr;
};

// To add an operation: a row here, its method in main.pyi, its endpoint in
// the stand-in, and its tests. A field name or fixed value it sends that no
// row sent before is a new interned text (capi/interned.hpp).
inline constexpr Operation operations[] = {
    {
        .name = "segment_image",
        .endpoint = "/vision/v0/segmention-masks",
        .parameters = {{"self"}, {"image_path", nullptr, true}},
        .fields = {fixed_field(&InternedNames::option, &InternedNames::segmentation_option)},
        .description = "Implements segmentation masks on images.",
        .command_line_values = {},
    },
    {
        .name = "black_white",
        .endpoint = "/vision/v0/black-white",
        .parameters = {{"self"}, {"image_path", nullptr, true}},
        .fields = {fixed_field(&InternedNames::option, &InternedNames::black_white_option)},
        .description = "Transforms images or videos into grayscale.",
        .command_line_values = {},
    },
    {
        .name = "colorization",
        .endpoint = "/vision/v0/colorization",
        .parameters = {{"self"}, {"image_path", nullptr, true}},
        .fields = {fixed_field(&InternedNames::option, &InternedNames::colorization_option)},
        .description =
            "Transforms grayscale images or videos back into color using advanced machine learning models. This "
            "method reintroduces color to black-and-white visuals by predicting realistic colorization based on the "
            "content and context of the images or videos.",
        .command_line_values = {},
    },
    {
        .name = "smart_object_detection",
        .endpoint = "/vision/v0/smart-object-detection",
        .parameters = {{"self"}, {"image_path", nullptr, true}, {"display", "Boxes"},
                       {"confidence_threshold", "0.25"}, {"option", "0"}, {"color", ""}},
        .fields = {argument_field(&InternedNames::option, 4), argument_field(&InternedNames::confidence_threshold, 3),
                   argument_field(&InternedNames::display, 2), field_when_true(&InternedNames::color, 5)},
        .description =
            "Detects objects in images using advanced machine learning models. This method allows for the "
            "specification of a display style and a confidence threshold. Users can target specific objects based "
            "on their type or detect objects that closely match a specified color, enhancing the precision and "
            "applicability of the detection.",
        .command_line_values = {"display", "confidence", "option", "color"},
    },
    {
        .name = "get_identity_data",
        .endpoint = "/vision/v0/getIdentityData",
        .parameters = {{"self"}, {"image_path", nullptr, true}, {"country"}},
        .fields = {upper_cased_field(&InternedNames::country, 2)},
        .description =
            "Extracts and classifies identity data from ID cards for the countries currently supported: Cameroon "
            "(CM), Senegal (SEN), Germany (DE), France (FR), Benin (BEN), and C\u00f4te d'Ivoire (CIV).",
        .command_line_values = {"country"},
        .required_option = "country",
        .missing_option_message = "Country code is required for get_identity_data method.",
    },
    {
        .name = "face_id_verification",
        .endpoint = "/vision/v0/faceIdVerification",
        .parameters = {{"self"}, {"image_path", nullptr, true}, {"to_compare"}},
        .fields = {},
        .second_image = 2,
        .description =
            "Compares a face from a provided image against a reference image to verify identity. This method is "
            "useful for security processes such as authentication systems where face matching is required to "
            "confirm an individual's identity. Ensure that both images are clear and that the faces are visible and "
            "not obscured by shadows or objects.",
        .command_line_values = {"to_compare"},
        .required_option = "to_compare",
        .missing_option_message = "Image to compare is required for face_id_verification method.",
    },
};

// A listing description of a method that no operation has: the command
// line's listing shows it when the client class in the module namespace (a
// caller's own subclass or rebinding) names such a method.
struct ExtraDescription {
    const char* name;
    const char* description;
};

inline constexpr ExtraDescription descriptions_without_operation[] = {
    {"analyze_image", "Analyze an image (implementation pending)."},
};

constexpr bool is_unused_entry(const Parameter& parameter) { return parameter.name == nullptr; }
constexpr bool is_unused_entry(const Field& field) { return field.name == nullptr; }
constexpr bool is_unused_entry(const char* value) { return value == nullptr; }

// The entries of a row's array before its first unused one.
template <typename Entry, std::size_t room>
constexpr std::span<const Entry> used_entries(const Entry (&entries)[room])
{
    std::size_t count = 0;
    while (count < room && !is_unused_entry(entries[count])) {
        ++count;
    }
    return {entries, count};
}

constexpr std::span<const Parameter> parameters_of(const Operation& operation)
{
    return used_entries(operation.parameters);
}

constexpr std::span<const Field> fields_of(const Operation& operation)
{
    return used_entries(operation.fields);
}

constexpr std::span<const char* const> command_line_values_of(const Operation& operation)
{
    return used_entries(operation.command_line_values);
}

// Every argument a row takes is one of its parameters, and its command line
// passes no more values than the operation has parameters.
constexpr bool is_well_formed(const Operation& operation)
{
    const std::size_t parameters = parameters_of(operation).size();
    for (const Field& field : fields_of(operation)) {
        if (field.value != FieldValue::fixed && field.argument >= parameters) {
            return false;
        }
    }
    return operation.second_image < parameters && command_line_values_of(operation).size() + 2 <= parameters;
}

static_assert(std::all_of(std::begin(operations), std::end(operations), is_well_formed));

// The row whose name equals `name` by the interpreter's equality test, in
// table order; null when there is none.
const Operation* find_operation(py::handle name);

// Runs `operation` with the arguments bound to its parameters: builds its
// fields and makes the exchange; returns the outcome text.
py::object run_operation(const Operation& operation, const Call& call);

}
