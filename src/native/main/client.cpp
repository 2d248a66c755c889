#include "main/client.hpp"

#include "main/function.hpp"
#include "main/operations.hpp"
#include "capi/new_reference.hpp"
#include "capi/text.hpp"

#include <array>
#include <iterator>
#include <utility>

namespace pixelmend {

namespace {

py::object init(const Call& call)
{
    py::setattr(call[0], "key", call[1]);
    return py::none();
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

template <std::size_t index>
py::object operation_body(const Call& call)
{
    return run_operation(operations[index], call);
}

constexpr Parameter self_only[] = {{"self"}};
constexpr Parameter self_and_key[] = {{"self"}, {"key", nullptr, true}};

// The class's functions: __init__, one per row of the operation table, in
// table order, and list_methods.
template <std::size_t... index>
constexpr std::array<FunctionDef, sizeof...(index) + 2> client_functions(std::index_sequence<index...>)
{
    return {{
        {"__init__", self_and_key, init},
        {operations[index].name, parameters_of(operations[index]), operation_body<index>}...,
        {"list_methods", self_only, list_methods},
    }};
}

constexpr auto methods = client_functions(std::make_index_sequence<std::size(operations)>());

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
