#include "python/binding.hpp"

#include <limits>
#include <stdexcept>

#include "core/error.hpp"

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

namespace {

// The module's attribute `name`, made by `make` (returning a new reference) when it has none yet.
Ref module_attribute(PyObject* module, const char* name, PyObject* (*make)()) {
    if (PyObject* existing = PyObject_GetAttrString(module, name)) return Ref(existing);
    PyErr_Clear();
    Ref made = Ref::checked(make());
    if (PyModule_AddObjectRef(module, name, made.get()) < 0) throw_python_error();
    return made;
}

}  // namespace

void add_class(PyObject* module, PyType_Spec& spec, PyTypeObject*& type) {
    type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
    if (type == nullptr) throw_python_error();
    PyObject* const type_object = reinterpret_cast<PyObject*>(type);
    const std::string name = type_name(type);
    if (PyModule_AddObjectRef(module, name.c_str(), type_object) < 0) throw_python_error();

    Ref all = module_attribute(module, "__all__", [] { return PyList_New(0); });
    Ref entry = Ref::checked(PyUnicode_FromString(name.c_str()));
    if (PyList_Append(all.get(), entry.get()) < 0) throw_python_error();

}

namespace {

std::string utf8_of(PyObject* text) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size);
    if (utf8 == nullptr) throw_python_error();
    return std::string(utf8, static_cast<std::size_t>(size));
}

}  // namespace

std::string type_name(PyTypeObject* type) { return utf8_of(Ref::checked(PyType_GetName(type)).get()); }

std::string type_module(PyObject* object) {
    Ref module(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__module__"));
    if (!module || !PyUnicode_Check(module.get())) {
        PyErr_Clear();
        return {};
    }
    return utf8_of(module.get());
}

bool has_attribute(PyObject* object, const char* name) {
    Ref attribute(PyObject_GetAttrString(object, name));
    if (attribute) return true;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_python_error();
    PyErr_Clear();
    return false;
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
