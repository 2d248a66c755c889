#include "exchange/url_segment.hpp"

#include "capi/new_reference.hpp"

#include <string>
#include <string_view>

namespace pixelmend {

namespace {

bool is_unreserved(unsigned char byte)
{
    return (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') || (byte >= '0' && byte <= '9')
        || byte == '_' || byte == '.' || byte == '-' || byte == '~';
}

std::string_view utf8_of(const py::str& text)
{
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (data == nullptr) {
        throw py::error_already_set();
    }
    return std::string_view(data, static_cast<std::size_t>(size));
}

std::string percent_encoded(std::string_view bytes)
{
    static constexpr char hex_digits[] = "0123456789ABCDEF";
    std::string escaped;
    escaped.reserve(bytes.size() * 3);
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (is_unreserved(byte)) {
            escaped += c;
        } else {
            escaped += '%';
            escaped += hex_digits[byte >> 4];
            escaped += hex_digits[byte & 0xF];
        }
    }
    return escaped;
}

}

py::str url_path_segment(const py::str& text)
{
    const std::string_view bytes = utf8_of(text);
    bool plain = true;
    for (const char c : bytes) {
        plain = plain && is_unreserved(static_cast<unsigned char>(c));
    }
    if (plain) {
        return text;
    }
    const std::string escaped = percent_encoded(bytes);
    return steal_or_throw<py::str>(
        PyUnicode_DecodeASCII(escaped.data(), static_cast<Py_ssize_t>(escaped.size()), "strict"));
}

}
