// The binding layer: everything the class files share. Instances and their
// borrows, argument binding and conversion, item conversion into byte views,
// releasing the GIL, and the one place where C++ exceptions become Python ones.
//
// Every entry point from Python is wrapped in `entry_point`, and everything
// below may throw: `PythonErrorSet` once a Python exception is set, or one of
// the core's error kinds, which `entry_point` translates.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "large_array.hpp"

namespace velt::python {

// ---- Errors ------------------------------------------------------------------

// Thrown once a Python exception has been set.
struct PythonErrorSet {};

[[noreturn]] void throw_python_error();
[[noreturn]] void throw_type_error(const std::string& message);

// Sets the Python exception for the exception being handled.
void translate_current_exception() noexcept;

// Runs `body` (which returns a new reference) and turns any exception into a Python one.
template <class Body>
auto entry_point(Body&& body) noexcept -> decltype(body()) {
    try {
        return body();
    } catch (...) {
        translate_current_exception();
        if constexpr (std::is_pointer_v<decltype(body())>) return nullptr;
        else return -1;
    }
}

// ---- References ----------------------------------------------------------------

// An owned reference, released on scope exit.
class Ref {
public:
    Ref() = default;
    explicit Ref(PyObject* owned) : object_(owned) {}
    Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        std::swap(object_, other.object_);
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(object_); }

    // Takes a new reference from a C API call, throwing when the call failed.
    static Ref checked(PyObject* owned) {
        if (owned == nullptr) throw_python_error();
        return Ref(owned);
    }
    PyObject* get() const { return object_; }
    PyObject* release() { return std::exchange(object_, nullptr); }
    explicit operator bool() const { return object_ != nullptr; }

private:
    PyObject* object_ = nullptr;
};

// Inline: batch queries make one per answer.
inline PyObject* new_bool(bool value) { return Py_NewRef(value ? Py_True : Py_False); }
PyObject* new_u64(std::uint64_t value);
PyObject* new_f64(double value);
PyObject* new_str(std::string_view utf8);
PyObject* new_bytes(std::string_view bytes);
// A (first, second) tuple of floats, as interval methods return.
PyObject* new_f64_pair(double first, double second);
PyObject* none();

// ---- Instances and borrows ---------------------------------------------------------

// Who is using an instance: a method that modifies it holds it exclusively,
// every other method shares it. A conflicting call fails at once, never waits.
struct BorrowState {
    Py_ssize_t shared = 0;
    bool exclusive = false;
};

class SharedBorrow {
public:
    explicit SharedBorrow(BorrowState& state);
    SharedBorrow(SharedBorrow&& other) noexcept : state_(std::exchange(other.state_, nullptr)) {}
    SharedBorrow(const SharedBorrow&) = delete;
    ~SharedBorrow() {
        if (state_) --state_->shared;
    }

private:
    BorrowState* state_;
};

class ExclusiveBorrow {
public:
    explicit ExclusiveBorrow(BorrowState& state);
    ExclusiveBorrow(const ExclusiveBorrow&) = delete;
    ~ExclusiveBorrow() { state_.exclusive = false; }

private:
    BorrowState& state_;
};

// Whether a borrow could be taken now, without taking it (for `|=`).
bool can_borrow_shared(const BorrowState& state);
bool can_borrow_exclusive(const BorrowState& state);

// The Python object that wraps one core structure. The type object of each
// class is created once, at module initialisation.
template <class Core>
struct Instance {
    PyObject_HEAD
    BorrowState borrow;
    alignas(Core) unsigned char storage[sizeof(Core)];

    Core& core() { return *std::launder(reinterpret_cast<Core*>(storage)); }

    static inline PyTypeObject* type = nullptr;

    static Instance* cast(PyObject* object) { return reinterpret_cast<Instance*>(object); }
    static bool check(PyObject* object) { return PyObject_TypeCheck(object, type); }

    // A new Python object owning `core`.
    static PyObject* wrap(Core&& core) {
        PyObject* object = PyType_GenericAlloc(type, 0);
        if (object == nullptr) throw_python_error();
        Instance* self = cast(object);
        new (&self->borrow) BorrowState();
        new (self->storage) Core(std::move(core));
        return object;
    }

    static void dealloc(PyObject* object) {
        PyTypeObject* object_type = Py_TYPE(object);
        cast(object)->core().~Core();
        auto free = reinterpret_cast<freefunc>(PyType_GetSlot(object_type, Py_tp_free));
        free(object);
        Py_DECREF(object_type);
    }

    // The method's instance, borrowed for the scope of the returned guard.
    struct Shared {
        SharedBorrow guard;
        Core& core;
    };
    struct Exclusive {
        ExclusiveBorrow guard;
        Core& core;
    };
    static Shared shared(PyObject* object) {
        Instance* self = cast(object);
        return {SharedBorrow(self->borrow), self->core()};
    }
    static Exclusive exclusive(PyObject* object) {
        Instance* self = cast(object);
        return {ExclusiveBorrow(self->borrow), self->core()};
    }
};

// Creates a class from its spec and adds it to the module (and to `__all__`).
void add_class(PyObject* module, PyType_Spec& spec, PyTypeObject*& type);

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

// Raises "argument '{name}': '{type}' object cannot be converted to '{target}'".
[[noreturn]] void throw_cannot_convert(PyObject* value, const char* name, const std::string& target);

// The `__name__` of a type, for messages.
std::string type_name(PyTypeObject* type);

// `other`: an instance of the same class, borrowed shared.
template <class Core>
typename Instance<Core>::Shared to_other(PyObject* value, const char* name) {
    if (!Instance<Core>::check(value)) throw_cannot_convert(value, name, type_name(Instance<Core>::type));
    return Instance<Core>::shared(value);
}

// ---- Items ---------------------------------------------------------------------

// The item bytes of one Python item: text and bytes stand for their own bytes,
// sequences of small integers for those bytes, anything else for its str().
class Item {
public:
    explicit Item(PyObject* item);
    std::string_view bytes() const { return bytes_; }

private:
    std::string owned_;
    Ref owner_;
    std::string_view bytes_;
};

// Append-only byte storage whose contents never move, so that views into it
// stay valid while it grows. Blocks grow up to a few MiB, so that a small
// batch stays small and a large one gets huge pages.
class ByteArena {
public:
    // A copy of `bytes`, valid until the arena is cleared or destroyed.
    std::string_view store(std::string_view bytes) {
        if (bytes.size() >= static_cast<std::size_t>(end_ - next_)) next_block(bytes.size());
        char* const start = next_;
        std::memcpy(start, bytes.data(), bytes.size());
        next_ += bytes.size();
        return {start, bytes.size()};
    }
    // Forgets the contents and keeps the blocks for reuse.
    void clear();
    std::size_t capacity() const;

private:
    class Block {
    public:
        explicit Block(std::size_t size) : data_(LargeArrayAllocator<char>().allocate(size)), size_(size) {}
        Block(Block&& other) noexcept : data_(std::exchange(other.data_, nullptr)), size_(other.size_) {}
        Block(const Block&) = delete;
        ~Block() {
            if (data_ != nullptr) LargeArrayAllocator<char>().deallocate(data_, size_);
        }
        char* data() const { return data_; }
        std::size_t size() const { return size_; }

    private:
        char* data_;
        std::size_t size_;
    };

    // Moves on to a block with room for `size` bytes, reusing or making one.
    void next_block(std::size_t size);

    std::vector<Block> blocks_;
    std::size_t current_ = 0;  // blocks_[current_ - 1] is being filled
    char* next_ = nullptr;
    char* end_ = nullptr;
};

// The memory of an item batch: the views of its items and the arena that
// holds the copied ones.
struct BatchBuffers {
    LargeArray<std::string_view> views;
    ByteArena arena;
};

// The item bytes of every element of an iterable, converted with the GIL held
// so that they can be processed with it released. Short items are copied into
// an arena; long text and bytes are viewed in place (their objects kept alive
// until the batch is destroyed, with the GIL held). A batch thus costs at most
// 16 bytes per item plus the items' bytes: a view, and either the copied bytes
// or, for an item longer than 64 bytes, one reference instead of them.
class ItemBatch {
public:
    explicit ItemBatch(PyObject* iterable);
    ItemBatch(const ItemBatch&) = delete;
    ~ItemBatch();

    std::span<const std::string_view> items() const { return buffers_.views; }

private:
    // Adds the item whose bytes are `bytes`, living in `owner` if given, else in `item`.
    void keep(std::string_view bytes, PyObject* item, Ref owner);

    BatchBuffers buffers_;
    LargeArray<Ref> owners_;
};

// A sequence (not a str, not a generator) whose every element is a `str`, as
// views of their UTF-8, for processing with the GIL released. Unlike an item
// batch nothing falls back to str(): another element type is a TypeError, and
// lone surrogates raise UnicodeEncodeError. The elements are kept alive until
// the batch is destroyed, with the GIL held.
class TextBatch {
public:
    TextBatch(PyObject* sequence, const char* name);

    std::span<const std::string_view> texts() const { return views_; }

private:
    LargeArray<std::string_view> views_;
    LargeArray<Ref> owners_;
};

// Releases the GIL for its scope: nothing inside may touch a Python object.
class GilReleased {
public:
    GilReleased() : state_(PyEval_SaveThread()) {}
    GilReleased(const GilReleased&) = delete;
    ~GilReleased() { PyEval_RestoreThread(state_); }

private:
    PyThreadState* state_;
};

// Runs `work` with the GIL released; it is held again when `work` returns or throws.
template <class Work>
auto without_gil(Work&& work) {
    GilReleased released;
    return work();
}

// A new list of results built by `make` (which returns a new reference) for each value.
template <class Values, class Make>
PyObject* new_list(const Values& values, Make&& make) {
    Ref list = Ref::checked(PyList_New(static_cast<Py_ssize_t>(values.size())));
    Py_ssize_t i = 0;
    for (const auto& value : values) {
        PyObject* element = make(value);
        if (element == nullptr) throw_python_error();
        PyList_SetItem(list.get(), i++, element);
    }
    return list.release();
}

// ---- Method tables ---------------------------------------------------------------

using FastMethod = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// A method-table entry for a method taking arguments by position or keyword.
inline PyMethodDef method(const char* name, FastMethod function, const char* doc, int flags = 0) {
    return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function)),
            METH_FASTCALL | METH_KEYWORDS | flags, doc};
}
inline PyMethodDef static_method(const char* name, FastMethod function, const char* doc) {
    return method(name, function, doc, METH_STATIC);
}

// ---- Special methods -------------------------------------------------------------

// len(): counts above the largest Py_ssize_t raise a bare OverflowError.
Py_ssize_t to_length(std::uint64_t count);

PyObject* not_implemented();

}  // namespace velt::python
