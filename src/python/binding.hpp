// The binding layer's foundation, which every class file shares: errors and
// the one place where C++ exceptions become Python ones, owned references and
// results, instances and their borrows, class registration, releasing the GIL
// and method tables. Argument binding is in arguments.hpp, item conversion in
// items.hpp.
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
#include <new>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

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

// ---- Classes -----------------------------------------------------------------------

// The Python name of the class over a core type, which its class file states
// once, e.g. `template <> inline constexpr const char* class_name<TopK> = "TopK";`.
// Binding messages print it ("TopK.add()").
template <class Core>
inline constexpr const char* class_name = nullptr;

// "velt._velt.{class_name}", the name a type spec gives.
template <class Core>
inline constexpr auto qualified_name = [] {
    constexpr std::string_view module = "velt._velt.";
    constexpr std::string_view name = class_name<Core>;
    std::array<char, module.size() + name.size() + 1> text{};
    std::copy(module.begin(), module.end(), text.begin());
    std::copy(name.begin(), name.end(), text.begin() + module.size());
    return text;
}();

// Creates a class from its spec and adds it to the module and to `__all__`.
void add_class(PyObject* module, PyType_Spec& spec, PyTypeObject*& type);

// Creates the class over `Core` with these slots (a table ending in {0, nullptr}).
template <class Core>
void add_class(PyObject* module, PyType_Slot* slots) {
    PyType_Spec spec = {qualified_name<Core>.data(), sizeof(Instance<Core>), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots};
    add_class(module, spec, Instance<Core>::type);
}

// The `__name__` of a type, for messages.
std::string type_name(PyTypeObject* type);
// The `__module__` of the object's type ("" when it has none).
std::string type_module(PyObject* object);
// Whether getattr(object, name) succeeds; an error other than AttributeError propagates.
bool has_attribute(PyObject* object, const char* name);

// ---- Releasing the GIL ------------------------------------------------------------

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
