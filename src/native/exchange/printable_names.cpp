#include "exchange/printable_names.hpp"

#include "capi/new_reference.hpp"

#include <string>

namespace pixelmend {

bool is_unprintable(char32_t character) noexcept
{
    const bool control = character < 0x20 || (character >= 0x7f && character <= 0x9f);
    const bool surrogate = character >= 0xd800 && character <= 0xdfff;
    const bool reordering =
        (character >= 0x202a && character <= 0x202e) || (character >= 0x2066 && character <= 0x2069);
    return control || surrogate || reordering;
}

namespace {

void append_hex(std::u32string& escaped, char32_t character, int digits)
{
    constexpr char hex_digits[] = "0123456789abcdef";
    for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4) {
        escaped += static_cast<char32_t>(hex_digits[(character >> shift) & 0xf]);
    }
}

void append_escape(std::u32string& escaped, char32_t character)
{
    switch (character) {
    case U'\t':
        escaped += U"\\t";
        return;
    case U'\n':
        escaped += U"\\n";
        return;
    case U'\r':
        escaped += U"\\r";
        return;
    default:
        escaped += character > 0xff ? U"\\u" : U"\\x";
        append_hex(escaped, character, character > 0xff ? 4 : 2);
    }
}

}

py::str printable(py::str text)
{
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text.ptr());
    std::u32string escaped;
    bool found = false;
    for (Py_ssize_t index = 0; index < length; ++index) {
        const auto character = static_cast<char32_t>(PyUnicode_READ_CHAR(text.ptr(), index));
        if (is_unprintable(character)) {
            found = true;
            append_escape(escaped, character);
        } else {
            escaped += character;
        }
    }
    if (!found) {
        return text;
    }
    return steal_or_throw<py::str>(
        PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, escaped.data(), static_cast<Py_ssize_t>(escaped.size())));
}

}
