// The six persistence methods, shared by every class, and the private _magic.
// A class file lists them in its table with its own docstrings, as
// Persistence<Core>::to_bytes and so on.
#pragma once

#include "core/persistence.hpp"
#include "core/platform/memory.hpp"
#include "python/arguments.hpp"
#include "python/binding.hpp"

namespace velt::python {

// The docstring of `open`, for a class whose filter is called `what` ("Bloom filter").
#define VELT_OPEN_DOCSTRING(what)                                                                              \
    "open(path, verify=True)\n--\n\n"                                                                          \
    "Open a " what " saved by save(), read-only and in place.\n\n"                                             \
    "The file is mapped into memory, not read: opening takes little time and memory whatever the\n"            \
    "filter's size, and processes that open the same file share one copy of it in the system's page\n"          \
    "cache. The header is checked at once, and the checksum of the whole file too unless verify is\n"         \
    "False, which saves reading the file once at opening; a damaged file then gives wrong answers\n"          \
    "(never a crash), so skip it only for files you trust.\n\n"                                                 \
    "The filter answers queries, copies, merges into a writable filter, pickles and serializes as any\n"      \
    "other; every method that would change it raises TypeError, and copy() gives a writable one.\n\n"        \
    "The mapping lives as long as the filter. save() replaces a file instead of rewriting it, so saving\n"    \
    "over the path meanwhile leaves an open filter as it was. If another program truncates the file in\n"    \
    "place while it is open, methods that read the whole filter or a batch raise ValueError, but a\n"       \
    "single query that reads a cut-off page stops the process (SIGBUS) on Linux and macOS; Windows\n"        \
    "refuses to truncate a mapped file."

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
                platform::advise_huge_pages(buffer, size);
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

    // open(path, verify=True), for the structures that can be read in place from their file.
    static PyObject* open(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        return entry_point([&] {
            const auto bound =
                bind(Signature<2>{class_name<Core>, "open", {"path", "verify"}, 1}, args, nargs, kwnames);
            const std::string path = to_text(bound[0], "path");
            const bool verify = bound[1] ? to_bool(bound[1], "verify") : true;
            return Object::wrap(Core::open(path, verify));
        });
    }
};

}  // namespace velt::python
