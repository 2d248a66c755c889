#include "main/operations.hpp"

#include "exchange/exchange.hpp"
#include "capi/new_reference.hpp"
#include "capi/text.hpp"

namespace pixelmend {

namespace {

py::object name_value_pair(py::handle name, py::handle value)
{
    return steal_or_throw(PyTuple_Pack(2, name.ptr(), value.ptr()));
}

// Appends the field unless it is sent only when true and its value is not.
void append_field(py::list& fields, const Field& field, const Call& call)
{
    const InternedNames& names = call.state.names;
    py::handle name = names.*field.name;
    switch (field.value) {
    case FieldValue::argument:
        fields.append(name_value_pair(name, call[field.argument]));
        break;
    case FieldValue::argument_when_true:
        if (is_true(call[field.argument])) {
            fields.append(name_value_pair(name, call[field.argument]));
        }
        break;
    case FieldValue::argument_upper_cased:
        fields.append(name_value_pair(name, call[field.argument].attr("upper")()));
        break;
    case FieldValue::fixed:
        fields.append(name_value_pair(name, names.*field.fixed));
        break;
    }
}

}

const Operation* find_operation(py::handle name)
{
    for (const Operation& operation : operations) {
        if (equals(name, py::str(operation.name))) {
            return &operation;
        }
    }
    return nullptr;
}

py::object run_operation(const Operation& operation, const Call& call)
{
    const InternedNames& names = call.state.names;
    py::list fields;
    fields.append(name_value_pair(names.api_key, py::getattr(call[0], names.key)));
    for (const Field& field : fields_of(operation)) {
        append_field(fields, field, call);
    }
    py::handle to_compare = operation.second_image != 0 ? call[operation.second_image] : py::handle();
    return exchange(call.state, call.globals, Upload{operation.endpoint, std::move(fields), call[1], to_compare});
}

}
