// The six persistence methods, shared by every class, and the private _magic.
// A class file lists them in its table with its own docstrings, as
// Persistence<Core>::to_bytes and so on.
#pragma once

#include "core/large_array.hpp"
#include "core/persistence.hpp"
#include "python/arguments.hpp"
#include "python/binding.hpp"

namespace velt::python {

template <class Core>
struct Persistence {
    using Object = Instance<Core>;

    static PyObject* to_bytes(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        return entry_point([&] {
            bind(Signature<0>{class_name<Core>, "to_bytes", {}}, args, nargs, kwnames);
            auto structure = Object::shared(self);
            // Written in place into the new bytes object: a large form is never copied.
            Ref bytes;
            velt::write_bytes(structure.core, [&bytes](std::size_t size) {
                bytes = Ref::checked(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
                char* buffer = PyBytes_AsString(bytes.get());
                if (buffer == nullptr) throw_python_error();
                advise_huge_pages(buffer, size);
                return buffer;
            });
            return bytes.release();
        });
    }

    static PyObject* from_bytes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        return entry_point([&] {
            const auto bound = bind(Signature<1>{class_name<Core>, "from_bytes", {"data"}}, args, nargs, kwnames);
            const ByteData data(bound[0], "data");
            return Object::wrap(velt::from_bytes<Core>(data.bytes()));
        });
    }

    static PyObject* to_json(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        return entry_point([&] {
            bind(Signature<0>{class_name<Core>, "to_json", {}}, args, nargs, kwnames);
            auto structure = Object::shared(self);
            return new_str(velt::to_json(structure.core));
        });
    }

    static PyObject* from_json(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        return entry_point([&] {
            const auto bound = bind(Signature<1>{class_name<Core>, "from_json", {"data"}}, args, nargs, kwnames);
            // Read in place: the argument outlives the call.
            return Object::wrap(velt::from_json<Core>(to_utf8(bound[0], "data")));
        });
    }

    static PyObject* save(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        return entry_point([&] {
            const auto bound = bind(Signature<1>{class_name<Core>, "save", {"path"}}, args, nargs, kwnames);
            auto structure = Object::shared(self);
            const std::string path = to_text(bound[0], "path");
            velt::save(structure.core, path);
            return none();
        });
    }

    // _magic(): private, for the command line, which tells a saved file's class by its first bytes.
    static PyObject* magic(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        return entry_point([&] {
            bind(Signature<0>{class_name<Core>, "_magic", {}}, args, nargs, kwnames);
            return new_bytes(Core::format.magic);
        });
    }

    static PyObject* load(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        return entry_point([&] {
            const auto bound = bind(Signature<1>{class_name<Core>, "load", {"path"}}, args, nargs, kwnames);
            const std::string path = to_text(bound[0], "path");
            return Object::wrap(velt::load<Core>(path));
        });
    }
};

}  // namespace velt::python
