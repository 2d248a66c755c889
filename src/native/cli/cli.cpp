#include "cli/cli.hpp"

#include "cli/api_key_source.hpp"
#include "cli/command_line_run.hpp"
#include "capi/module_globals.hpp"
#include "capi/print_and_raise.hpp"
#include "cli/terminal.hpp"
#include "capi/new_reference.hpp"
#include "main/operations.hpp"
#include "capi/text.hpp"

namespace pixelmend {

namespace {

constexpr const char* account_page = "https://pixelmend.ai/account";
constexpr const char* object_index_page = "https://pixelmend.ai/docs/object-indexes";

py::object text_type()
{
    return py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyUnicode_Type));
}

void add_text_argument(py::object& parser, const char* name, const std::string& help, py::object default_value = {})
{
    py::dict keywords;
    if (name[0] != '-') {
        keywords["nargs"] = "?";
    }
    keywords["type"] = text_type();
    if (default_value) {
        keywords["default"] = default_value;
    }
    keywords["help"] = help;
    parser.attr("add_argument")(name, **keywords);
}

py::object make_parser(const py::dict& globals)
{
    py::object parser = lookup_global(globals, "argparse")
                            .attr("ArgumentParser")(py::arg("description") = "Run Pixelmend operations.");
    add_text_argument(parser, "key",
                      std::string("API key for authentication. Visit ") + account_page + "to obtain your API key.");
    add_text_argument(parser, "image_path", "Path to the image file or directory containing images.");
    add_text_argument(parser, "method", "Method to execute on the image.");
    parser.attr("add_argument")("--list", py::arg("action") = "store_true",
                                py::arg("help") = "List available methods and exit.");
    add_text_argument(parser, "--display", "Type of display for detection results.( <Boxes>, <Masks>)",
                      py::str("Boxes"));
    add_text_argument(parser, "--confidence",
                      "Confidence level for detection accuracy. Options: [0.25, 0.3, 0.35, 0.4, 0.45, 0.5, 0.55, "
                      "0.6, 0.65, 0.7, 0.75, 0.8, 0.85, 0.9]",
                      py::str("0.25"));
    add_text_argument(parser, "--option",
                      std::string("Option for processing. (Ex: only person, only car). List of indexes here: ")
                          + object_index_page + " ",
                      py::str("0"));
    add_text_argument(parser, "--color",
                      "If the type of result display is \"Masks\", use this parameter to filter objects with colors "
                      "close to the specified color. The color should be provided as a hexadecimal string.",
                      py::str(""));
    add_text_argument(parser, "--country",
                      "Specifies the country code for ID card processing. - Liste:  \"CM\", \"SEN\", \"DE\", "
                      "\"FR\", \"BEN\", \"CIV\".");
    add_text_argument(parser, "--to_compare",
                      "Path to an additional image file where the face to be compared is located.");
    return parser;
}

// A line the output stream cannot encode (undecodable bytes of an argument
// on a strict UTF-8 stream, accented letters on an ASCII one) is shown with
// backslash escapes instead of ending the command with a traceback.
void show(const py::dict& globals, py::handle value)
{
    try {
        print_line(globals, value);
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_UnicodeEncodeError)) {
            throw;
        }
        py::object encoding = error.value().attr("encoding");
        py::object escaped = py::str(value).attr("encode")(encoding, "backslashreplace").attr("decode")(encoding);
        print_line(globals, escaped);
    }
}

// Each operation's description, and those of the methods that no operation has.
py::dict method_descriptions()
{
    py::dict descriptions;
    for (const Operation& operation : operations) {
        descriptions[operation.name] = operation.description;
    }
    for (const ExtraDescription& extra : descriptions_without_operation) {
        descriptions[extra.name] = extra.description;
    }
    return descriptions;
}

void print_listing(const py::dict& globals)
{
    py::object client = lookup_global(globals, "Pixelmend")("blank_key");
    py::object names = client.attr("list_methods")();
    py::dict descriptions = method_descriptions();
    show(globals, py::str("Available methods:"));
    for (py::handle name : names) {
        py::object description = descriptions.attr("get")(name, "No description available.");
        show(globals, concat({as_text(name), py::str(": "), as_text(description)}));
        show(globals, py::str(""));
    }
}

// The attribute-existence test: a fetch that fails in any ordinary way,
// a name that is not text included, counts as absent.
bool has_attribute(py::handle object, py::handle name)
{
    if (!PyUnicode_Check(name.ptr())) {
        return false;
    }
    return static_cast<bool>(steal_catching(PyObject_GetAttr(object.ptr(), name.ptr()), PyExc_Exception));
}

// The image path, then the values that the operation's row names; a method
// that is no operation (list_methods, a caller's own) takes the image path alone.
py::tuple positional_values(const py::object& args, const py::object& image_path, const Operation* operation)
{
    py::list values;
    values.append(image_path);
    if (operation != nullptr) {
        for (const char* name : command_line_values_of(*operation)) {
            values.append(args.attr(name));
        }
    }
    return py::tuple(values);
}

bool lacks_required_option(const py::object& args, const Operation* operation)
{
    return operation != nullptr && operation->required_option != nullptr
        && !is_true(args.attr(operation->required_option));
}

// Runs the named method with the command line's values, by position; an
// operation's missing required option ends it with its line printed
// instead, and false returned.
bool call_operation(const py::dict& globals, const py::object& args, const py::object& method_to_call)
{
    py::object method = args.attr("method");
    py::object image_path = args.attr("image_path");
    const Operation* operation = find_operation(method);
    if (lacks_required_option(args, operation)) {
        show(globals, py::str(operation->missing_option_message));
        return false;
    }
    show(globals, method_to_call(*positional_values(args, image_path, operation)));
    return true;
}

// An ordinary exception of the operation becomes its error line, and false.
bool guarded_call(const Call& call, const py::object& args, const py::object& method_to_call)
{
    try {
        return call_operation(call.globals, args, method_to_call);
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_Exception)) {
            throw;
        }
        if (Progress* progress = active_progress(call.state)) {
            progress->finish();
        }
        show(call.globals, py::make_tuple("Error:", error.value()));
        return false;
    }
}

void show_missing_arguments(const py::dict& globals, const py::object& parser)
{
    parser.attr("print_usage")();
    show(globals, py::str("error: the following arguments are required: key, image_path"));
}

// Whether the command did its work; every way it did not has printed its line.
bool perform(const Call& call)
{
    const py::dict& globals = call.globals;
    py::object parser = make_parser(globals);
    py::object args = parser.attr("parse_args")();
    if (is_true(args.attr("list"))) {
        print_listing(globals);
        return true;
    }
    py::object key = args.attr("key");
    if (!is_true(key) || !is_true(args.attr("image_path"))) {
        show_missing_arguments(globals, parser);
        return false;
    }
    ApiKey api_key = api_key_of(globals, std::move(key));
    if (api_key.refusal != nullptr) {
        show(globals, py::str(api_key.refusal));
        return false;
    }
    if (!is_true(api_key.key)) {
        show_missing_arguments(globals, parser);
        return false;
    }
    py::object client = lookup_global(globals, "Pixelmend")(api_key.key);
    py::object method = args.attr("method");
    if (!has_attribute(client, method)) {
        show(globals, concat({py::str("Method "), as_text(method), py::str(" not found in Pixelmend class.")}));
        show(globals, py::str("Use --list to see available methods."));
        return false;
    }
    return guarded_call(call, args, py::getattr(client, method));
}

// Progress goes to standard error only when a person watches it there.
bool standard_error_is_terminal()
{
    return is_terminal(py::module_::import("sys").attr("stderr"));
}

py::object run(const Call& call)
{
    CommandLineRun command(call.state, standard_error_is_terminal());
    try {
        if (!perform(call)) {
            command.fail();
        }
    } catch (py::error_already_set& error) {
        command.abandon(exit_status_of(error));
        throw;
    } catch (...) {
        command.abandon(1);
        throw;
    }
    command.conclude();
    return py::none();
}

}

const FunctionDef main_def = {"main", {}, run};

}
