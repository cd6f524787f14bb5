// Argument binding and conversion: how a method's Python arguments, given by
// position or keyword, become its C++ parameters, with the system's messages
// for every argument that does not fit.
#pragma once

#include "python/binding.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>

#include "core/large_array.hpp"
#include "core/platform/hints.hpp"
#include "core/tuning.hpp"

namespace velt::python {

// ---- Argument binding ------------------------------------------------------------

// A method's parameters: its class and method name (messages print
// "BloomFilter.add()"), the parameter names in order, and how many leading
// ones are required.
template <std::size_t N>
struct Signature {
    const char* class_name;
    const char* method;
    std::array<const char*, N> names;
    std::size_t required = N;
};

// The bound arguments, one per parameter in order; nullptr where omitted.
template <std::size_t N>
using Arguments = std::array<PyObject*, N>;

struct Parameters {
    const char* class_name;
    const char* method;
    std::span<const char* const> names;
    std::size_t required;
};

void bind_arguments(const Parameters& parameters, PyObject* const* args, std::size_t nargs, PyObject* kwnames,
                    PyObject* kwargs, std::span<PyObject*> out);

template <std::size_t N>
Parameters parameters_of(const Signature<N>& signature) {
    return {signature.class_name, signature.method, signature.names, signature.required};
}

// For methods called with the vectorcall convention.
template <std::size_t N>
Arguments<N> bind(const Signature<N>& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Arguments<N> bound{};
    bind_arguments(parameters_of(signature), args, static_cast<std::size_t>(nargs), kwnames, nullptr, bound);
    return bound;
}

// For constructors, which receive a tuple and a dict.
template <std::size_t N>
Arguments<N> bind(const Signature<N>& signature, PyObject* args, PyObject* kwargs) {
    const std::size_t nargs = static_cast<std::size_t>(PyTuple_Size(args));
    // Beyond N positional arguments only their count matters: binding refuses them.
    std::array<PyObject*, N + 1> positional{};
    for (std::size_t i = 0; i < std::min(nargs, N); ++i) {
        positional[i] = PyTuple_GetItem(args, static_cast<Py_ssize_t>(i));
    }
    Arguments<N> bound{};
    bind_arguments(parameters_of(signature), positional.data(), nargs, nullptr, kwargs, bound);
    return bound;
}

// ---- Parameter conversions ---------------------------------------------------------
// Each takes the bound value and the parameter name; a TypeError they raise is
// prefixed with "argument '{name}': ". `std::optional` results treat an omitted
// argument and None alike.

std::uint64_t to_u64(PyObject* value, const char* name);
std::uint32_t to_u32(PyObject* value, const char* name);
std::uint8_t to_u8(PyObject* value, const char* name);
double to_f64(PyObject* value, const char* name);
// A `bool` only.
bool to_bool(PyObject* value, const char* name);
std::optional<std::uint64_t> to_optional_u64(PyObject* value, const char* name);
std::optional<std::uint32_t> to_optional_u32(PyObject* value, const char* name);
std::optional<double> to_optional_f64(PyObject* value, const char* name);
// A `str` only (path, JSON text), as UTF-8.
std::string to_text(PyObject* value, const char* name);
// A `str` only, as a view of its UTF-8 that lives as long as `value`. Lone
// surrogates have no UTF-8 form: the interpreter's UnicodeEncodeError propagates.
std::string_view to_utf8(PyObject* value, const char* name);
// `data` of from_bytes: a sequence (not a str) of integers 0 .. 255, viewed in
// place when it is a bytes object.
class ByteData {
public:
    ByteData(PyObject* value, const char* name);
    std::string_view bytes() const { return bytes_; }

private:
    std::string owned_;
    std::string_view bytes_;
};
// A sequence (not a str, not a generator) of unsigned 64-bit integers. One
// exposing a contiguous buffer of integers (array.array, a NumPy array, a
// memoryview) is read through it, with the same results and errors.
LargeArray<std::uint64_t> to_hashes(PyObject* value, const char* name);

// The rows of a two-dimensional C-contiguous buffer of non-negative integers
// (the arrays of MinHash.signatures, a 2-D NumPy array), one after another and
// the length of each; nothing for any other object.
struct HashRows {
    LargeArray<std::uint64_t> values;
    std::size_t row_length;
};
std::optional<HashRows> hash_rows_from_buffer(PyObject* value);

// Raises "argument '{name}': '{type}' object cannot be converted to '{target}'".
[[noreturn]] void throw_cannot_convert(PyObject* value, const char* name, const std::string& target);

// `other`: an instance of the same class, borrowed shared.
template <class Core>
typename Instance<Core>::Shared to_other(PyObject* value, const char* name) {
    if (!Instance<Core>::check(value)) throw_cannot_convert(value, name, type_name(Instance<Core>::type));
    return Instance<Core>::shared(value);
}

// ---- Iterating sequence arguments -------------------------------------------------

// A sequence argument that is not a str (which would otherwise pass as a
// sequence of one-character strings).
void check_sequence_argument(PyObject* value, const char* name);

// How many elements to make room for before converting a sized argument: its
// length, but never more than a bounded amount, since a length can lie (and
// room beyond it is made as elements actually arrive). 0 when unsized.
std::size_t reservation_for(PyObject* object);

// What a visit of for_each_element tells the walk: whether it may have run
// Python code or released the GIL, either of which may change the list walked.
enum class RanPython : bool { no, yes };

// Calls visit(element) for each element of an iterable, in order, with a
// borrowed reference that stays valid while `visit` runs no Python code (a
// visit that does must take its own reference first). Lists and tuples are
// walked by index, which is the same order the iterator would give (including
// a list that changes meanwhile) at less cost. A visit returns RanPython::no
// when it ran no Python code and kept the GIL; one that returns nothing is
// taken to have run code.
template <class Visit>
void for_each_element(PyObject* iterable, Visit&& visit) {
    const bool is_list = PyList_Check(iterable);
    if (is_list || PyTuple_Check(iterable)) {
        const auto element_at = [&](Py_ssize_t i) {
            return is_list ? PyList_GetItem(iterable, i) : PyTuple_GetItem(iterable, i);
        };
        // The elements are separate objects, often scattered through memory:
        // fetching one a few places ahead overlaps their cache misses. Each is
        // fetched once, kept until its visit, and used then unless a visit in
        // between may have changed the list, in which case it is fetched again.
        constexpr Py_ssize_t distance = tuning::element_prefetch_distance;
        // Room for elements i .. i + distance; element j is ahead[j & slot_mask].
        std::array<PyObject*, std::bit_ceil(static_cast<std::size_t>(distance) + 1)> ahead{};
        constexpr Py_ssize_t slot_mask = static_cast<Py_ssize_t>(ahead.size()) - 1;
        Py_ssize_t fetched = 0;      // elements before this one have been fetched ahead
        Py_ssize_t still_valid = 0;  // those from this one on were fetched since the last code ran
        for (Py_ssize_t i = 0;; ++i) {
            const Py_ssize_t size = Py_SIZE(iterable);  // a list may change while its items run code
            if (i >= size) return;
            for (; fetched <= i + distance && fetched < size; ++fetched) {
                PyObject* element = element_at(fetched);
                platform::prefetch_for_read(element);
                ahead[static_cast<std::size_t>(fetched & slot_mask)] = element;
            }
            PyObject* element = i >= still_valid ? ahead[static_cast<std::size_t>(i & slot_mask)] : element_at(i);
            if constexpr (std::is_void_v<decltype(visit(element))>) {
                visit(element);
                still_valid = fetched;
            } else if (visit(element) == RanPython::yes) {
                still_valid = fetched;
            }
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

}  // namespace velt::python
