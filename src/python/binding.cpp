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
