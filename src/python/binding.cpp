#include "binding.hpp"

#include <algorithm>
#include <limits>
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

PyObject* new_bool(bool value) { return PyBool_FromLong(value); }
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

// Calls visit(element) for each element of an iterable, in order, with a new
// reference. Lists and tuples are walked by index, which is the same order the
// iterator would give (including a list that changes meanwhile) at less cost.
template <class Visit>
void for_each_new_reference(PyObject* iterable, Visit&& visit) {
    const bool is_list = PyList_Check(iterable);
    if (is_list || PyTuple_Check(iterable)) {
        const auto element_at = [&](Py_ssize_t i) {
            return is_list ? PyList_GetItem(iterable, i) : PyTuple_GetItem(iterable, i);
        };
        // The elements are separate objects, often scattered through memory:
        // fetching one a few places ahead overlaps their cache misses.
        constexpr Py_ssize_t prefetch_distance = 8;
        for (Py_ssize_t i = 0;; ++i) {
            const Py_ssize_t size = is_list ? PyList_Size(iterable) : PyTuple_Size(iterable);
            if (i >= size) return;
            if (i + prefetch_distance < size) __builtin_prefetch(element_at(i + prefetch_distance));
            visit(Ref(Py_NewRef(element_at(i))));
        }
    }
    Ref iterator = Ref::checked(PyObject_GetIter(iterable));
    while (PyObject* element = PyIter_Next(iterator.get())) visit(Ref(element));
    if (PyErr_Occurred()) throw_python_error();
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

LargeArray<std::uint64_t> to_hashes(PyObject* value, const char* name) {
    check_sequence_argument(value, name);
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
// "surrogatepass" and each resulting invalid byte becomes U+FFFD in `arena`.
// Returns a view into the str itself, or into `arena` (in_arena set).
std::string_view str_bytes(PyObject* text, std::string& arena, bool& in_arena) {
    Py_ssize_t size = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size)) {
        in_arena = false;
        return {utf8, static_cast<std::size_t>(size)};
    }
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw_python_error();
    PyErr_Clear();
    Ref encoded = Ref::checked(PyUnicode_AsEncodedString(text, "utf-8", "surrogatepass"));
    const std::size_t start = arena.size();
    codec::append_utf8_lossy({PyBytes_AsString(encoded.get()), static_cast<std::size_t>(PyBytes_Size(encoded.get()))},
                             arena);
    in_arena = true;
    return std::string_view(arena).substr(start);
}

// Appends the elements of a sequence to `arena` when every one is an integer
// 0 .. 255; otherwise leaves `arena` as it was and returns false.
bool append_small_integers(PyObject* sequence, std::string& arena) {
    const std::size_t start = arena.size();
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
        arena.push_back(static_cast<char>(value));
    }
    if (!all_bytes) {
        PyErr_Clear();
        arena.resize(start);
    }
    return all_bytes;
}

// Converts one item. The result views memory of `item` itself, of `owner`
// (which then holds a new reference), or of `arena` (in_arena set).
std::string_view convert_item(PyObject* item, std::string& arena, Ref& owner, bool& in_arena) {
    in_arena = false;
    if (PyUnicode_Check(item)) return str_bytes(item, arena, in_arena);
    if (PyBytes_Check(item)) {
        return {PyBytes_AsString(item), static_cast<std::size_t>(PyBytes_Size(item))};
    }
    if (PyByteArray_Check(item)) {
        // Mutable: copied, never viewed.
        const std::size_t start = arena.size();
        arena.append(PyByteArray_AsString(item), static_cast<std::size_t>(PyByteArray_Size(item)));
        in_arena = true;
        return std::string_view(arena).substr(start);
    }
    if (PySequence_Check(item)) {
        const std::size_t start = arena.size();
        if (append_small_integers(item, arena)) {
            in_arena = true;
            return std::string_view(arena).substr(start);
        }
    }
    owner = Ref::checked(PyObject_Str(item));
    return str_bytes(owner.get(), arena, in_arena);
}

}  // namespace

Item::Item(PyObject* item) {
    bool in_arena = false;
    bytes_ = convert_item(item, owned_, owner_, in_arena);
}

ItemBatch::ItemBatch(PyObject* iterable) {
    const std::size_t room = reservation_for(iterable);
    views_.reserve(room);
    owners_.reserve(room);

    // Arena items are recorded with a null pointer and given their place once
    // the arena has stopped growing.
    for_each_new_reference(iterable, [&](Ref item) {
        Ref owner;
        bool in_arena = false;
        const std::string_view bytes = convert_item(item.get(), arena_, owner, in_arena);
        if (in_arena) {
            views_.emplace_back(nullptr, bytes.size());
        } else {
            views_.push_back(bytes);
            owners_.push_back(owner ? std::move(owner) : std::move(item));
        }
    });

    std::size_t offset = 0;
    for (std::string_view& view : views_) {
        if (view.data() != nullptr) continue;
        view = std::string_view(arena_.data() + offset, view.size());
        offset += view.size();
    }
}

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
