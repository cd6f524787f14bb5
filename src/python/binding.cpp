#include "binding.hpp"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cstring>
#include <limits>
#include <type_traits>
#include <stdexcept>

#include "codec/utf8.hpp"
#include "error.hpp"

namespace velt::python {

// ---- Errors ------------------------------------------------------------------

void throw_python_error() { throw PythonErrorSet{}; }

void throw_type_error(const std::string& message) {
    PyErr_SetString(PyExc_TypeError, message.c_str());
    throw_python_error();
}

void translate_current_exception() noexcept {
    try {
        throw;
    } catch (const PythonErrorSet&) {
        // Already set.
    } catch (const ValueError& error) {
        PyErr_SetString(PyExc_ValueError, error.what());
    } catch (const OverflowError& error) {
        PyErr_SetString(PyExc_OverflowError, error.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        // A size beyond what a container can hold is a failed allocation too.
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_SystemError, error.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception");
    }
}

// ---- Results -----------------------------------------------------------------

PyObject* new_u64(std::uint64_t value) { return PyLong_FromUnsignedLongLong(value); }
PyObject* new_f64(double value) { return PyFloat_FromDouble(value); }
PyObject* new_str(std::string_view utf8) {
    return PyUnicode_FromStringAndSize(utf8.data(), static_cast<Py_ssize_t>(utf8.size()));
}
PyObject* new_bytes(std::string_view bytes) {
    return PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size()));
}
PyObject* new_f64_pair(double first, double second) { return Py_BuildValue("(dd)", first, second); }
PyObject* none() { Py_RETURN_NONE; }

// ---- Borrows -------------------------------------------------------------------

SharedBorrow::SharedBorrow(BorrowState& state) : state_(&state) {
    if (state.exclusive) {
        PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
        throw_python_error();
    }
    ++state.shared;
}

ExclusiveBorrow::ExclusiveBorrow(BorrowState& state) : state_(state) {
    if (state.exclusive || state.shared > 0) {
        PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
        throw_python_error();
    }
    state.exclusive = true;
}

bool can_borrow_shared(const BorrowState& state) { return !state.exclusive; }
bool can_borrow_exclusive(const BorrowState& state) { return !state.exclusive && state.shared == 0; }

// ---- Classes -------------------------------------------------------------------

void add_class(PyObject* module, PyType_Spec& spec, PyTypeObject*& type) {
    type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
    if (type == nullptr) throw_python_error();
    const std::string name = type_name(type);
    if (PyModule_AddObjectRef(module, name.c_str(), reinterpret_cast<PyObject*>(type)) < 0) throw_python_error();

    PyObject* all = PyObject_GetAttrString(module, "__all__");
    if (all == nullptr) {
        PyErr_Clear();
        all = PyList_New(0);
        if (all == nullptr || PyModule_AddObjectRef(module, "__all__", all) < 0) {
            Py_XDECREF(all);
            throw_python_error();
        }
    }
    Ref owned_all(all);
    Ref entry = Ref::checked(PyUnicode_FromString(name.c_str()));
    if (PyList_Append(all, entry.get()) < 0) throw_python_error();
}

std::string type_name(PyTypeObject* type) {
    Ref name = Ref::checked(PyType_GetName(type));
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(name.get(), &size);
    if (utf8 == nullptr) throw_python_error();
    return std::string(utf8, static_cast<std::size_t>(size));
}

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

namespace {

// A sequence argument that is not a str (which would otherwise pass as a
// sequence of one-character strings).
void check_sequence_argument(PyObject* value, const char* name) {
    if (PyUnicode_Check(value)) throw_type_error(std::string("argument '") + name + "': Can't extract `str` to `Vec`");
    if (!PySequence_Check(value)) throw_cannot_convert(value, name, "Sequence");
}

// How many elements to make room for before converting a sized argument: its
// length, but never more than a bounded amount, since a length can lie (and
// room beyond it is made as elements actually arrive). 0 when unsized.
std::size_t reservation_for(PyObject* object) {
    constexpr Py_ssize_t max_reservation = Py_ssize_t{1} << 22;
    const Py_ssize_t length = PyObject_Size(object);
    if (length < 0) PyErr_Clear();  // an iterator: no length known in advance
    return static_cast<std::size_t>(std::clamp<Py_ssize_t>(length, 0, max_reservation));
}

// Calls visit(element) for each element of an iterable, in order, with a
// borrowed reference that stays valid while `visit` runs no Python code (a
// visit that does must take its own reference first). Lists and tuples are
// walked by index, which is the same order the iterator would give (including
// a list that changes meanwhile) at less cost.
template <class Visit>
void for_each_element(PyObject* iterable, Visit&& visit) {
    const bool is_list = PyList_Check(iterable);
    if (is_list || PyTuple_Check(iterable)) {
        const auto element_at = [&](Py_ssize_t i) {
            return is_list ? PyList_GetItem(iterable, i) : PyTuple_GetItem(iterable, i);
        };
        // The elements are separate objects, often scattered through memory:
        // fetching one a few places ahead overlaps their cache misses.
        constexpr Py_ssize_t prefetch_distance = 8;
        for (Py_ssize_t i = 0;; ++i) {
            const Py_ssize_t size = Py_SIZE(iterable);  // a list may change while its items run code
            if (i >= size) return;
            if (i + prefetch_distance < size) __builtin_prefetch(element_at(i + prefetch_distance));
            visit(element_at(i));
        }
    }
    Ref iterator = Ref::checked(PyObject_GetIter(iterable));
    while (Ref element{PyIter_Next(iterator.get())}) visit(element.get());
    if (PyErr_Occurred()) throw_python_error();
}

// for_each_element, for visits that may run Python code: each gets a new reference.
template <class Visit>
void for_each_new_reference(PyObject* iterable, Visit&& visit) {
    for_each_element(iterable, [&](PyObject* element) { visit(Ref(Py_NewRef(element))); });
}

}  // namespace

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
std::optional<LargeArray<std::uint64_t>> hashes_from_buffer(PyObject* value) {
    BufferView buffer;
    if (!buffer.take(value)) return std::nullopt;
    const Py_buffer& view = buffer.get();
    const auto is_signed = integer_signedness(view.format, view.itemsize);
    if (!is_signed || view.ndim != 1) return std::nullopt;
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

LargeArray<std::uint64_t> to_hashes(PyObject* value, const char* name) {
    check_sequence_argument(value, name);
    if (auto hashes = hashes_from_buffer(value)) return std::move(*hashes);
    LargeArray<std::uint64_t> hashes;
    hashes.reserve(reservation_for(value));
    for_each_new_reference(value, [&](Ref element) { hashes.push_back(to_u64(element.get(), name)); });
    return hashes;
}

TextBatch::TextBatch(PyObject* sequence, const char* name) {
    check_sequence_argument(sequence, name);
    const std::size_t room = reservation_for(sequence);
    views_.reserve(room);
    owners_.reserve(room);
    for_each_new_reference(sequence, [&](Ref element) {
        const std::string_view text = to_utf8(element.get(), name);
        owners_.push_back(std::move(element));
        views_.push_back(text);
    });
}

// ---- Items ---------------------------------------------------------------------

namespace {

// The UTF-8 of a str. Lone surrogates have no UTF-8 form: they are encoded with
// "surrogatepass" and each resulting invalid byte becomes U+FFFD in `scratch`.
// Returns a view into the str itself, or into `scratch` (in_scratch set).
std::string_view str_bytes(PyObject* text, std::string& scratch, bool& in_scratch) {
    Py_ssize_t size = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size)) {
        in_scratch = false;
        return {utf8, static_cast<std::size_t>(size)};
    }
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw_python_error();
    PyErr_Clear();
    Ref encoded = Ref::checked(PyUnicode_AsEncodedString(text, "utf-8", "surrogatepass"));
    codec::append_utf8_lossy({PyBytes_AsString(encoded.get()), static_cast<std::size_t>(PyBytes_Size(encoded.get()))},
                             scratch);
    in_scratch = true;
    return scratch;
}

// Appends the elements of a sequence to `scratch` when every one is an integer
// 0 .. 255; otherwise leaves `scratch` as it was and returns false.
bool append_small_integers(PyObject* sequence, std::string& scratch) {
    const std::size_t start = scratch.size();
    Ref iterator(PyObject_GetIter(sequence));
    bool all_bytes = static_cast<bool>(iterator);
    while (all_bytes) {
        Ref element(PyIter_Next(iterator.get()));
        if (!element) {
            all_bytes = !PyErr_Occurred();
            break;
        }
        const long value = PyLong_AsLong(element.get());
        if (value < 0 || value > 255) {
            all_bytes = false;
            break;
        }
        scratch.push_back(static_cast<char>(value));
    }
    if (!all_bytes) {
        PyErr_Clear();
        scratch.resize(start);
    }
    return all_bytes;
}

// Room for the decimal digits and sign of any 64-bit integer.
using DigitBuffer = std::array<char, 24>;

// Writes the eight decimal digits of value < 10^8, with leading zeros, at `out`.
// The four pairs are independent of one another, unlike a digit-by-digit loop.
void write_eight_digits(char* out, std::uint32_t value) {
    static constexpr auto pairs = [] {
        std::array<char, 200> table{};
        for (int i = 0; i < 100; ++i) {
            table[2 * i] = static_cast<char>('0' + i / 10);
            table[2 * i + 1] = static_cast<char>('0' + i % 10);
        }
        return table;
    }();
    const std::uint32_t high = value / 10000;
    const std::uint32_t low = value % 10000;
    std::memcpy(out, &pairs[2 * (high / 100)], 2);
    std::memcpy(out + 2, &pairs[2 * (high % 100)], 2);
    std::memcpy(out + 4, &pairs[2 * (low / 100)], 2);
    std::memcpy(out + 6, &pairs[2 * (low % 100)], 2);
}

// Writes the decimal digits of `value` at `out`, returning their end.
char* write_decimal(char* out, std::uint64_t value) {
    constexpr std::uint64_t eight_digits = 100'000'000;
    if (value < eight_digits) return std::to_chars(out, out + 8, static_cast<std::uint32_t>(value)).ptr;
    char* const end = write_decimal(out, value / eight_digits);
    write_eight_digits(end, static_cast<std::uint32_t>(value % eight_digits));
    return end + 8;
}

// What str() gives for an exact int (never a bool or another subclass, whose
// str() may differ) that fits in 64 bits, written without making a str object.
// Nothing for any other object: larger ints are left to str() itself, which
// also raises the interpreter's own error for one with too many digits.
std::optional<std::string_view> int_digits(PyObject* item, DigitBuffer& buffer) {
    if (!PyLong_CheckExact(item)) return std::nullopt;
    char* const first = buffer.data();
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(item, &overflow);
    if (overflow < 0) return std::nullopt;  // below -2**63
    if (overflow > 0) {
        const std::uint64_t large = PyLong_AsUnsignedLongLong(item);
        if (large == static_cast<std::uint64_t>(-1) && PyErr_Occurred()) {
            PyErr_Clear();  // 2**64 or more
            return std::nullopt;
        }
        return std::string_view(first, write_decimal(first, large));
    }
    char* digits = first;
    if (value < 0) *digits++ = '-';
    // Negated unsigned, where the magnitude of -2**63 fits.
    const std::uint64_t as_unsigned = static_cast<std::uint64_t>(value);
    return std::string_view(first, write_decimal(digits, value < 0 ? 0 - as_unsigned : as_unsigned));
}

// Converts one item. The result views memory of `item` itself, of `owner`
// (which then holds a new reference), or of `scratch` (in_scratch set).
std::string_view convert_item(PyObject* item, std::string& scratch, Ref& owner, bool& in_scratch) {
    in_scratch = false;
    if (PyUnicode_Check(item)) return str_bytes(item, scratch, in_scratch);
    if (PyBytes_Check(item)) {
        return {PyBytes_AsString(item), static_cast<std::size_t>(PyBytes_Size(item))};
    }
    if (PyByteArray_Check(item)) {
        // Mutable: copied, never viewed.
        scratch.append(PyByteArray_AsString(item), static_cast<std::size_t>(PyByteArray_Size(item)));
        in_scratch = true;
        return scratch;
    }
    DigitBuffer digits;
    if (const auto text = int_digits(item, digits)) {
        scratch.append(*text);
        in_scratch = true;
        return scratch;
    }
    if (PySequence_Check(item) && append_small_integers(item, scratch)) {
        in_scratch = true;
        return scratch;
    }
    owner = Ref::checked(PyObject_Str(item));
    return str_bytes(owner.get(), scratch, in_scratch);
}

// The item bytes of the commonest items, found without running any Python
// code: an exact str that has a UTF-8 form, an exact bytes, a 64-bit exact int
// (written into `digits`). Nothing for every other item.
std::optional<std::string_view> common_item_bytes(PyObject* item, DigitBuffer& digits) {
    if (Py_IS_TYPE(item, &PyUnicode_Type)) {
        Py_ssize_t size = 0;
        if (const char* utf8 = PyUnicode_AsUTF8AndSize(item, &size)) {
            return std::string_view(utf8, static_cast<std::size_t>(size));
        }
        PyErr_Clear();  // lone surrogates: the general conversion handles them
        return std::nullopt;
    }
    if (Py_IS_TYPE(item, &PyBytes_Type)) {
        char* data = nullptr;
        Py_ssize_t size = 0;
        if (PyBytes_AsStringAndSize(item, &data, &size) < 0) throw_python_error();
        return std::string_view(data, static_cast<std::size_t>(size));
    }
    return int_digits(item, digits);
}

}  // namespace

Item::Item(PyObject* item) {
    bool in_scratch = false;
    bytes_ = convert_item(item, owned_, owner_, in_scratch);
}

void ByteArena::next_block(std::size_t size) {
    while (current_ < blocks_.size() && blocks_[current_].size() <= size) ++current_;
    if (current_ == blocks_.size()) {
        constexpr std::size_t first_block = std::size_t{4} << 10;
        // Large enough to be given huge pages (see LargeArrayAllocator).
        constexpr std::size_t largest_block = std::size_t{4} << 20;
        const std::size_t previous = blocks_.empty() ? 0 : blocks_.back().size();
        blocks_.emplace_back(std::max(std::clamp(2 * previous, first_block, largest_block), size + 1));
    }
    next_ = blocks_[current_].data();
    end_ = next_ + blocks_[current_].size();
    ++current_;
}

void ByteArena::clear() {
    current_ = 0;
    next_ = end_ = nullptr;
}

std::size_t ByteArena::capacity() const {
    std::size_t total = 0;
    for (const Block& block : blocks_) total += block.size();
    return total;
}

namespace {

// The buffers of the last item batch this thread destroyed. Fresh memory is
// expensive to touch for the first time (a page fault per page), as much as
// the rest of the work of a large batch, so the next batch reuses them. Only
// one set of at most retained_limit bytes is kept per thread.
thread_local std::optional<BatchBuffers> spare_buffers;
constexpr std::size_t retained_limit = std::size_t{64} << 20;

BatchBuffers take_spare_buffers() {
    if (!spare_buffers) return {};
    BatchBuffers buffers = std::move(*spare_buffers);
    spare_buffers.reset();
    return buffers;
}

void give_back(BatchBuffers& buffers) {
    const std::size_t size = buffers.views.capacity() * sizeof(std::string_view) + buffers.arena.capacity();
    if (spare_buffers || size > retained_limit) return;
    buffers.views.clear();
    buffers.arena.clear();
    spare_buffers.emplace(std::move(buffers));
}

}  // namespace

inline void ItemBatch::keep(std::string_view bytes, PyObject* item, Ref owner) {
    // Short items are copied next to one another: cheaper to hash later than
    // scattered objects, and no reference to release. Longer ones are viewed
    // in place, their object (or `owner`, when the bytes live there) kept alive.
    constexpr std::size_t longest_copied = 64;
    if (bytes.size() <= longest_copied) {
        buffers_.views.push_back(buffers_.arena.store(bytes));
        return;
    }
    buffers_.views.push_back(bytes);
    owners_.push_back(owner ? std::move(owner) : Ref(Py_NewRef(item)));
}

ItemBatch::ItemBatch(PyObject* iterable) : buffers_(take_spare_buffers()) {
    buffers_.views.reserve(reservation_for(iterable));
    std::string scratch;
    DigitBuffer digits;
    for_each_element(iterable, [&](PyObject* item) {
        if (const auto bytes = common_item_bytes(item, digits)) {
            keep(*bytes, item, Ref());
            return;
        }
        // The general conversion may run Python code (str(), __index__),
        // which could drop the caller's last other reference to `item`.
        Ref held(Py_NewRef(item));
        Ref owner;
        bool in_scratch = false;
        scratch.clear();
        const std::string_view bytes = convert_item(held.get(), scratch, owner, in_scratch);
        if (in_scratch) {
            buffers_.views.push_back(buffers_.arena.store(bytes));
        } else {
            keep(bytes, held.get(), std::move(owner));
        }
    });
}

ItemBatch::~ItemBatch() { give_back(buffers_); }

// ---- Special methods -------------------------------------------------------------

Py_ssize_t to_length(std::uint64_t count) {
    if (count > static_cast<std::uint64_t>(std::numeric_limits<Py_ssize_t>::max())) {
        PyErr_SetNone(PyExc_OverflowError);
        throw_python_error();
    }
    return static_cast<Py_ssize_t>(count);
}

PyObject* not_implemented() { return Py_NewRef(Py_NotImplemented); }

}  // namespace velt::python
