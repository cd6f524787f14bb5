#include "python/arguments.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <type_traits>
#include <vector>

namespace velt::python {

// ---- Argument binding ------------------------------------------------------------

namespace {

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'".
std::string quoted_list(const std::vector<const char*>& names) {
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i != 0) {
            if (names.size() > 2) out += ',';
            out += i == names.size() - 1 ? " and " : " ";
        }
        out += '\'';
        out += names[i];
        out += '\'';
    }
    return out;
}

std::string function_name(const Parameters& parameters) {
    return std::string(parameters.class_name) + "." + parameters.method + "()";
}

void bind_keyword(const Parameters& parameters, std::size_t nargs, PyObject* key, PyObject* value,
                  std::span<PyObject*> out) {
    const auto& names = parameters.names;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (PyUnicode_CompareWithASCIIString(key, names[i]) != 0) continue;
        if (i < nargs || out[i] != nullptr) {
            throw_type_error(function_name(parameters) + " got multiple values for argument '" + names[i] + "'");
        }
        out[i] = value;
        return;
    }
    Py_ssize_t size = 0;
    const char* key_text = PyUnicode_AsUTF8AndSize(key, &size);
    if (key_text == nullptr) throw_python_error();
    throw_type_error(function_name(parameters) + " got an unexpected keyword argument '" +
                     std::string(key_text, static_cast<std::size_t>(size)) + "'");
}

}  // namespace

void bind_arguments(const Parameters& parameters, PyObject* const* args, std::size_t nargs, PyObject* kwnames,
                    PyObject* kwargs, std::span<PyObject*> out) {
    const auto& names = parameters.names;
    const std::size_t required = parameters.required;
    if (nargs > names.size()) {
        const char* verb = nargs == 1 ? "was" : "were";
        std::string message = function_name(parameters) + " takes ";
        if (required != names.size()) message += "from " + std::to_string(required) + " to ";
        message += std::to_string(names.size()) + " positional arguments but " + std::to_string(nargs) + " " +
                   verb + " given";
        throw_type_error(message);
    }
    for (std::size_t i = 0; i < nargs; ++i) out[i] = args[i];

    if (kwnames != nullptr) {
        const Py_ssize_t count = PyTuple_Size(kwnames);
        for (Py_ssize_t i = 0; i < count; ++i) {
            bind_keyword(parameters, nargs, PyTuple_GetItem(kwnames, i), args[nargs + static_cast<std::size_t>(i)], out);
        }
    }
    if (kwargs != nullptr) {
        Py_ssize_t position = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &position, &key, &value)) bind_keyword(parameters, nargs, key, value, out);
    }

    std::vector<const char*> missing;
    for (std::size_t i = 0; i < required; ++i) {
        if (out[i] == nullptr) missing.push_back(names[i]);
    }
    if (!missing.empty()) {
        throw_type_error(function_name(parameters) + " missing " + std::to_string(missing.size()) +
                         " required positional " + (missing.size() == 1 ? "argument" : "arguments") + ": " +
                         quoted_list(missing));
    }
}

// ---- Parameter conversions ---------------------------------------------------------

namespace {

// Re-raises a pending TypeError as "argument '{name}': {message}"; other errors pass unchanged.
[[noreturn]] void raise_for_argument(const char* name) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw_python_error();
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    Ref owned_type(type), owned_value(value), owned_traceback(traceback);
    Ref text(PyObject_Str(value));
    if (!text) throw_python_error();
    PyErr_Format(PyExc_TypeError, "argument '%s': %U", name, text.get());
    throw_python_error();
}

// The integer value of `value` through __index__, as a C long long, for the narrow types.
long long to_long_long(PyObject* value, const char* name) {
    Ref index(PyNumber_Index(value));
    if (!index) raise_for_argument(name);
    const long long result = PyLong_AsLongLong(index.get());
    if (result == -1 && PyErr_Occurred()) raise_for_argument(name);
    return result;
}

template <class T>
T to_narrow_unsigned(PyObject* value, const char* name) {
    const long long wide = to_long_long(value, name);
    if (wide < 0 || static_cast<unsigned long long>(wide) > std::numeric_limits<T>::max()) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        throw_python_error();
    }
    return static_cast<T>(wide);
}

bool is_absent(PyObject* value) { return value == nullptr || value == Py_None; }

}  // namespace

std::uint64_t to_u64(PyObject* value, const char* name) {
    Ref index(PyNumber_Index(value));
    if (!index) raise_for_argument(name);
    const unsigned long long result = PyLong_AsUnsignedLongLong(index.get());
    if (result == static_cast<unsigned long long>(-1) && PyErr_Occurred()) raise_for_argument(name);
    return result;
}

std::uint32_t to_u32(PyObject* value, const char* name) { return to_narrow_unsigned<std::uint32_t>(value, name); }
std::uint8_t to_u8(PyObject* value, const char* name) { return to_narrow_unsigned<std::uint8_t>(value, name); }

double to_f64(PyObject* value, const char* name) {
    const double result = PyFloat_AsDouble(value);
    if (result == -1.0 && PyErr_Occurred()) raise_for_argument(name);
    return result;
}

bool to_bool(PyObject* value, const char* name) {
    if (!PyBool_Check(value)) throw_cannot_convert(value, name, "PyBool");
    return value == Py_True;
}

std::optional<std::uint64_t> to_optional_u64(PyObject* value, const char* name) {
    if (is_absent(value)) return std::nullopt;
    return to_u64(value, name);
}

std::optional<std::uint32_t> to_optional_u32(PyObject* value, const char* name) {
    if (is_absent(value)) return std::nullopt;
    return to_u32(value, name);
}

std::optional<double> to_optional_f64(PyObject* value, const char* name) {
    if (is_absent(value)) return std::nullopt;
    return to_f64(value, name);
}

void throw_cannot_convert(PyObject* value, const char* name, const std::string& target) {
    throw_type_error(std::string("argument '") + name + "': '" + type_name(Py_TYPE(value)) +
                     "' object cannot be converted to '" + target + "'");
}

std::string_view to_utf8(PyObject* value, const char* name) {
    if (!PyUnicode_Check(value)) throw_cannot_convert(value, name, "PyString");
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(value, &size);
    if (utf8 == nullptr) throw_python_error();
    return {utf8, static_cast<std::size_t>(size)};
}

std::string to_text(PyObject* value, const char* name) { return std::string(to_utf8(value, name)); }

void check_sequence_argument(PyObject* value, const char* name) {
    if (PyUnicode_Check(value)) throw_type_error(std::string("argument '") + name + "': Can't extract `str` to `Vec`");
    if (!PySequence_Check(value)) throw_cannot_convert(value, name, "Sequence");
}

std::size_t reservation_for(PyObject* object) {
    const Py_ssize_t length = PyObject_Size(object);
    if (length < 0) PyErr_Clear();  // an iterator: no length known in advance
    return static_cast<std::size_t>(std::clamp<Py_ssize_t>(length, 0, tuning::max_reserved_items));
}

ByteData::ByteData(PyObject* value, const char* name) {
    if (PyBytes_Check(value)) {
        bytes_ = {PyBytes_AsString(value), static_cast<std::size_t>(PyBytes_Size(value))};
        return;
    }
    check_sequence_argument(value, name);
    if (PyByteArray_Check(value)) {
        owned_.assign(PyByteArray_AsString(value), static_cast<std::size_t>(PyByteArray_Size(value)));
    } else {
        owned_.reserve(reservation_for(value));
        for_each_new_reference(value, [&](Ref element) { owned_.push_back(static_cast<char>(to_u8(element.get(), name))); });
    }
    bytes_ = owned_;
}

namespace {

// Releases a buffer obtained from PyObject_GetBuffer.
class BufferView {
public:
    BufferView() = default;
    BufferView(const BufferView&) = delete;
    ~BufferView() {
        if (taken_) PyBuffer_Release(&view_);
    }
    // Takes the buffer of `object` if it has a C-contiguous one; else false, with no error set.
    bool take(PyObject* object) {
        if (!PyObject_CheckBuffer(object)) return false;
        taken_ = PyObject_GetBuffer(object, &view_, PyBUF_FORMAT | PyBUF_C_CONTIGUOUS) == 0;
        if (!taken_) PyErr_Clear();
        return taken_;
    }
    const Py_buffer& get() const { return view_; }

private:
    Py_buffer view_{};
    bool taken_ = false;
};

// Whether a buffer format with this item size holds native integers, and if
// so whether signed ones: "q", "@Q", "<l" (on a little-endian host), ...
std::optional<bool> integer_signedness(const char* format, Py_ssize_t itemsize) {
    if (format == nullptr) format = "B";  // the protocol's default
    const bool big_endian_host = std::endian::native == std::endian::big;
    switch (*format) {
        case '@':
        case '=':
            ++format;
            break;
        case '<':
            if (big_endian_host) return std::nullopt;
            ++format;
            break;
        case '>':
        case '!':
            if (!big_endian_host) return std::nullopt;
            ++format;
            break;
    }
    if (format[0] == '\0' || format[1] != '\0') return std::nullopt;
    if (itemsize != 1 && itemsize != 2 && itemsize != 4 && itemsize != 8) return std::nullopt;
    if (std::string_view("bhilqn").find(format[0]) != std::string_view::npos) return true;
    if (std::string_view("BHILQN").find(format[0]) != std::string_view::npos) return false;
    return std::nullopt;
}

// Widens `count` integers of type T read from `data` into `out`; false (with
// `out` in an unspecified state) at the first negative one.
template <class T>
bool widen_integers(const char* data, std::size_t count, LargeArray<std::uint64_t>& out) {
    out.resize(count);
    for (std::size_t i = 0; i < count; ++i) {
        T value;
        std::memcpy(&value, data + i * sizeof(T), sizeof(T));
        if constexpr (std::is_signed_v<T>) {
            if (value < 0) return false;
        }
        out[i] = static_cast<std::uint64_t>(value);
    }
    return true;
}

// The elements of a one-dimensional contiguous buffer of native integers,
// copied out with the GIL held. Nothing when `value` has no such buffer, or
// holds a negative element: the element-by-element conversion then gives the
// same result, or raises the same error, at the same element.
// With `dimensions` 2, the rows of a two-dimensional buffer one after another,
// and the length of a row in `row_length`.
std::optional<LargeArray<std::uint64_t>> hashes_from_buffer(PyObject* value, int dimensions = 1,
                                                            std::size_t* row_length = nullptr) {
    BufferView buffer;
    if (!buffer.take(value)) return std::nullopt;
    const Py_buffer& view = buffer.get();
    const auto is_signed = integer_signedness(view.format, view.itemsize);
    if (!is_signed || view.ndim != dimensions) return std::nullopt;
    if (row_length != nullptr) *row_length = static_cast<std::size_t>(view.shape[1]);
    const auto* data = static_cast<const char*>(view.buf);
    const auto count = static_cast<std::size_t>(view.len / view.itemsize);
    LargeArray<std::uint64_t> hashes;
    bool read = false;
    switch (view.itemsize) {
        case 1:
            read = *is_signed ? widen_integers<std::int8_t>(data, count, hashes)
                              : widen_integers<std::uint8_t>(data, count, hashes);
            break;
        case 2:
            read = *is_signed ? widen_integers<std::int16_t>(data, count, hashes)
                              : widen_integers<std::uint16_t>(data, count, hashes);
            break;
        case 4:
            read = *is_signed ? widen_integers<std::int32_t>(data, count, hashes)
                              : widen_integers<std::uint32_t>(data, count, hashes);
            break;
        default:
            read = *is_signed ? widen_integers<std::int64_t>(data, count, hashes)
                              : widen_integers<std::uint64_t>(data, count, hashes);
            break;
    }
    if (!read) return std::nullopt;
    return hashes;
}

}  // namespace

std::optional<HashRows> hash_rows_from_buffer(PyObject* value) {
    std::size_t row_length = 0;
    auto values = hashes_from_buffer(value, 2, &row_length);
    if (!values) return std::nullopt;
    return HashRows{std::move(*values), row_length};
}

LargeArray<std::uint64_t> to_hashes(PyObject* value, const char* name) {
    check_sequence_argument(value, name);
    if (auto hashes = hashes_from_buffer(value)) return std::move(*hashes);
    LargeArray<std::uint64_t> hashes;
    hashes.reserve(reservation_for(value));
    for_each_new_reference(value, [&](Ref element) { hashes.push_back(to_u64(element.get(), name)); });
    return hashes;
}

}  // namespace velt::python
