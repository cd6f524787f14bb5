#include "python/answers.hpp"

#include <initializer_list>
#include <string_view>

#include "core/large_array.hpp"
#include "python/arguments.hpp"
#include "python/arrow_c_data.hpp"

namespace velt::python {

// How the answers are laid out in memory: Arrow packs booleans into bits,
// numpy and lists take a byte each; counts are 64-bit either way.
enum class AnswerLayout { boolean_bytes, boolean_bits, counts };

// The answers of one query, shared by the column object that holds them and
// every Arrow array exported from it, so that each consumer may outlive the others.
struct AnswerValues {
    AnswerLayout layout;
    bool writable;  // only the memory behind a numpy array: no Arrow consumer reads it
    std::size_t length = 0;
    LargeArray<std::uint8_t> bytes;  // boolean bytes or bits
    LargeArray<std::uint64_t> counts;

    const void* data() const {
        static constexpr std::uint64_t nothing = 0;  // an empty column still points somewhere
        if (length == 0) return &nothing;
        return layout == AnswerLayout::counts ? static_cast<const void*>(counts.data()) : bytes.data();
    }
    Py_ssize_t item_size() const { return layout == AnswerLayout::counts ? 8 : 1; }
};

namespace {

// ---- The kind of the items ---------------------------------------------------------

// The top-level package of the object's type: "pandas" for pandas.core.series.
std::string library_of(PyObject* object) {
    const std::string module = type_module(object);
    return module.substr(0, module.find('.'));
}

AnswerKind kind_of(PyObject* items) {
    if (PyList_CheckExact(items) || PyTuple_CheckExact(items) || PyUnicode_Check(items)) return AnswerKind::list;
    const std::string library = library_of(items);
    const std::string name = type_name(Py_TYPE(items));
    if (library == "pandas" && name == "Series") return AnswerKind::pandas;
    if (library == "polars" && name == "Series") return AnswerKind::polars;
    const bool arrow = has_attribute(items, "__arrow_c_array__") || has_attribute(items, "__arrow_c_stream__");
    if (arrow) return library == "pyarrow" ? AnswerKind::pyarrow : AnswerKind::arrow_producer;
    if (PyObject_CheckBuffer(items)) return AnswerKind::buffer;
    return AnswerKind::list;
}

AnswerLayout layout_for(AnswerKind kind, bool booleans) {
    if (!booleans) return AnswerLayout::counts;
    const bool arrow = kind == AnswerKind::pyarrow || kind == AnswerKind::polars || kind == AnswerKind::arrow_producer;
    return arrow ? AnswerLayout::boolean_bits : AnswerLayout::boolean_bytes;
}

// Sets the bits from `first` on to the booleans, in Arrow's order (least
// significant bit first), on bits that are still zero. Whole bytes are packed
// eight answers at a time: setting bit by bit would chain every answer of a
// byte through one load and store.
void pack_bits(std::span<const std::uint8_t> booleans, std::uint8_t* bits, std::size_t first) {
    const auto set_bit = [&](std::size_t i) {
        const std::size_t at = first + i;
        bits[at / 8] = static_cast<std::uint8_t>(bits[at / 8] | (booleans[i] << (at % 8)));
    };
    std::size_t i = 0;
    for (; i < booleans.size() && (first + i) % 8 != 0; ++i) set_bit(i);
    for (; booleans.size() - i >= 8; i += 8) {
        unsigned byte = 0;
        for (unsigned bit = 0; bit < 8; ++bit) byte |= static_cast<unsigned>(booleans[i + bit]) << bit;
        bits[(first + i) / 8] = static_cast<std::uint8_t>(byte);
    }
    for (; i < booleans.size(); ++i) set_bit(i);
}

// ---- The column object -------------------------------------------------------------

struct AnswerColumn {
    PyObject_HEAD
    std::shared_ptr<const AnswerValues> values;
    Py_ssize_t shape;
    Py_ssize_t stride;

    static inline PyTypeObject* type = nullptr;

    static AnswerColumn* cast(PyObject* object) { return reinterpret_cast<AnswerColumn*>(object); }
};

PyObject* AnswerColumn_wrap(std::shared_ptr<const AnswerValues> values) {
    PyObject* object = PyType_GenericAlloc(AnswerColumn::type, 0);
    if (object == nullptr) throw_python_error();
    AnswerColumn* self = AnswerColumn::cast(object);
    self->shape = static_cast<Py_ssize_t>(values->length);
    self->stride = values->item_size();
    new (&self->values) std::shared_ptr<const AnswerValues>(std::move(values));
    return object;
}

void AnswerColumn_dealloc(PyObject* object) {
    PyTypeObject* type = Py_TYPE(object);
    AnswerColumn::cast(object)->values.~shared_ptr();
    auto free = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free(object);
    Py_DECREF(type);
}

Py_ssize_t AnswerColumn_length(PyObject* self) { return AnswerColumn::cast(self)->shape; }

// The buffer protocol, for numpy and memoryview: one-dimensional bool ("?") or
// uint64 ("Q"). Arrow's packed booleans have no buffer form.
int AnswerColumn_getbuffer(PyObject* object, Py_buffer* view, int flags) {
    AnswerColumn* self = AnswerColumn::cast(object);
    const AnswerValues& values = *self->values;
    if (values.layout == AnswerLayout::boolean_bits) {
        PyErr_SetString(PyExc_BufferError, "Arrow booleans are read through __arrow_c_array__");
        return -1;
    }
    if ((flags & PyBUF_WRITABLE) == PyBUF_WRITABLE && !values.writable) {
        PyErr_SetString(PyExc_BufferError, "the answers are read-only");
        return -1;
    }
    view->obj = Py_NewRef(object);
    view->buf = const_cast<void*>(values.data());  // written only when `writable` says no one else reads it
    view->itemsize = values.item_size();
    view->len = self->shape * view->itemsize;
    view->readonly = values.writable ? 0 : 1;
    view->ndim = 1;
    view->format = (flags & PyBUF_FORMAT) != 0 ? const_cast<char*>(values.layout == AnswerLayout::counts ? "Q" : "?")
                                                : nullptr;
    view->shape = (flags & PyBUF_ND) != 0 ? &self->shape : nullptr;
    view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? &self->stride : nullptr;
    view->suboffsets = nullptr;
    view->internal = nullptr;
    return 0;
}

// ---- Arrow export --------------------------------------------------------------------

using arrow::ArrowArray;
using arrow::ArrowSchema;

constexpr std::int64_t arrow_flag_nullable = 2;

// What an exported array owns: a share of the answers, and its buffer list
// (no validity buffer: every answer is valid).
struct ExportedArray {
    std::shared_ptr<const AnswerValues> values;
    const void* buffers[2];
};

// Release callbacks may run on any thread, without the GIL: they touch no Python object.
void release_schema(ArrowSchema* schema) { schema->release = nullptr; }

void release_array(ArrowArray* array) {
    delete static_cast<ExportedArray*>(array->private_data);
    array->release = nullptr;
}

template <class Struct>
void destroy_capsule(PyObject* capsule, const char* name) {
    auto* exported = static_cast<Struct*>(PyCapsule_GetPointer(capsule, name));
    if (exported == nullptr) {
        PyErr_Clear();
        return;
    }
    if (exported->release != nullptr) exported->release(exported);  // never imported
    delete exported;
}

void destroy_schema_capsule(PyObject* capsule) { destroy_capsule<ArrowSchema>(capsule, "arrow_schema"); }
void destroy_array_capsule(PyObject* capsule) { destroy_capsule<ArrowArray>(capsule, "arrow_array"); }

// A capsule owning `exported`, which it releases and frees unless a consumer took it.
template <class Struct>
Ref new_capsule(std::unique_ptr<Struct> exported, const char* name, PyCapsule_Destructor destroy) {
    Ref capsule(PyCapsule_New(exported.get(), name, destroy));
    if (!capsule) {
        exported->release(exported.get());
        throw_python_error();
    }
    exported.release();
    return capsule;
}

// __arrow_c_array__(requested_schema=None): the answers as a (schema, array)
// pair of capsules. They have one type only, so a requested schema is ignored,
// as the protocol allows.
PyObject* AnswerColumn_arrow_c_array(PyObject* object, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry_point([&] {
        bind(Signature<1>{"AnswerColumn", "__arrow_c_array__", {"requested_schema"}, 0}, args, nargs, kwnames);
        AnswerColumn* self = AnswerColumn::cast(object);
        const bool counts = self->values->layout == AnswerLayout::counts;

        auto schema = std::make_unique<ArrowSchema>();
        *schema = ArrowSchema{counts ? "L" : "b", "", nullptr, arrow_flag_nullable, 0, nullptr, nullptr, release_schema, nullptr};

        auto owned = std::make_unique<ExportedArray>(ExportedArray{self->values, {nullptr, self->values->data()}});
        auto array = std::make_unique<ArrowArray>();
        *array = ArrowArray{static_cast<std::int64_t>(self->shape), 0, 0, 2, 0, owned->buffers, nullptr, nullptr,
                            release_array, owned.get()};
        owned.release();  // now the array's, freed by release_array
        Ref schema_capsule = new_capsule(std::move(schema), "arrow_schema", destroy_schema_capsule);
        Ref array_capsule = new_capsule(std::move(array), "arrow_array", destroy_array_capsule);
        return PyTuple_Pack(2, schema_capsule.get(), array_capsule.get());
    });
}

PyMethodDef AnswerColumn_methods[] = {
    method("__arrow_c_array__", AnswerColumn_arrow_c_array,
           "__arrow_c_array__($self, requested_schema=None)\n--\n\n"
           "Export the answers as an Arrow array (the Arrow PyCapsule interface)."),
    {nullptr, nullptr, 0, nullptr},
};

const char AnswerColumn_doc[] =
    "The answers of a batch query to a column of no library velt knows: an Arrow array of booleans or "
    "unsigned 64-bit counts, read through __arrow_c_array__ (or, for counts, the buffer protocol).";

PyType_Slot AnswerColumn_slots[] = {
    {Py_tp_doc, const_cast<char*>(AnswerColumn_doc)},
    {Py_tp_dealloc, reinterpret_cast<void*>(AnswerColumn_dealloc)},
    {Py_tp_methods, AnswerColumn_methods},
    {Py_sq_length, reinterpret_cast<void*>(AnswerColumn_length)},
    {Py_bf_getbuffer, reinterpret_cast<void*>(AnswerColumn_getbuffer)},
    {0, nullptr},
};

// ---- Handing the column over ------------------------------------------------------------

// module.name(*args, **keywords), a new reference.
Ref call(const char* module, const char* name, std::initializer_list<PyObject*> args, PyObject* keywords = nullptr) {
    Ref library = Ref::checked(PyImport_ImportModule(module));
    Ref function = Ref::checked(PyObject_GetAttrString(library.get(), name));
    Ref arguments = Ref::checked(PyTuple_New(static_cast<Py_ssize_t>(args.size())));
    Py_ssize_t i = 0;
    for (PyObject* arg : args) PyTuple_SetItem(arguments.get(), i++, Py_NewRef(arg));
    return Ref::checked(PyObject_Call(function.get(), arguments.get(), keywords));
}

// A numpy array over the column's buffer, or a memoryview where numpy is absent.
Ref buffer_result(PyObject* column) {
    Ref numpy(PyImport_ImportModule("numpy"));
    if (!numpy) {
        if (!PyErr_ExceptionMatches(PyExc_ImportError)) throw_python_error();
        PyErr_Clear();
        return Ref::checked(PyMemoryView_FromObject(column));
    }
    return Ref::checked(PyObject_CallMethod(numpy.get(), "asarray", "O", column));
}

// A pandas Series over the answers, on the index of `items` and with its name,
// so that assigning it to the items' frame lines the answers up with them.
Ref pandas_result(PyObject* column, PyObject* items) {
    Ref values = buffer_result(column);
    Ref index = Ref::checked(PyObject_GetAttrString(items, "index"));
    Ref name = Ref::checked(PyObject_GetAttrString(items, "name"));
    Ref keywords = Ref::checked(Py_BuildValue("{sOsOsO}", "index", index.get(), "name", name.get(), "copy", Py_False));
    return call("pandas", "Series", {values.get()}, keywords.get());
}

// A polars Series over the answers, with the name of `items`.
Ref polars_result(PyObject* column, PyObject* items) {
    Ref series = call("polars", "Series", {column});
    Ref name = Ref::checked(PyObject_GetAttrString(items, "name"));
    return Ref::checked(PyObject_CallMethod(series.get(), "alias", "O", name.get()));
}

}  // namespace

// ---- Collecting the answers ----------------------------------------------------------------

BatchAnswers::BatchAnswers(PyObject* items, bool booleans)
    : items_(items), kind_(kind_of(items)), values_(std::make_shared<AnswerValues>()) {
    AnswerValues& values = *values_;
    values.layout = layout_for(kind_, booleans);
    values.writable = kind_ == AnswerKind::buffer || kind_ == AnswerKind::pandas;
    const std::size_t room = reservation_for(items);
    if (values.layout == AnswerLayout::counts) values.counts.reserve(room);
    else if (values.layout == AnswerLayout::boolean_bytes) values.bytes.reserve(room);
    else values.bytes.reserve((room + 7) / 8);
}

void BatchAnswers::append(std::span<const std::uint8_t> booleans) {
    AnswerValues& values = *values_;
    if (values.layout == AnswerLayout::boolean_bytes) {
        values.bytes.insert(values.bytes.end(), booleans.begin(), booleans.end());
    } else {
        values.bytes.resize((values.length + booleans.size() + 7) / 8);
        pack_bits(booleans, values.bytes.data(), values.length);
    }
    values.length += booleans.size();
}

void BatchAnswers::append(std::span<const std::uint64_t> counts) {
    AnswerValues& values = *values_;
    values.counts.insert(values.counts.end(), counts.begin(), counts.end());
    values.length += counts.size();
}

PyObject* BatchAnswers::result() {
    const AnswerValues& values = *values_;
    if (kind_ == AnswerKind::list) {
        if (values.layout == AnswerLayout::counts) return new_list(values.counts, new_u64);
        return new_list(values.bytes, [](std::uint8_t answer) { return new_bool(answer != 0); });
    }
    Ref column(AnswerColumn_wrap(values_));
    switch (kind_) {
        case AnswerKind::pyarrow: return call("pyarrow", "array", {column.get()}).release();
        case AnswerKind::polars: return polars_result(column.get(), items_).release();
        case AnswerKind::pandas: return pandas_result(column.get(), items_).release();
        case AnswerKind::buffer: return buffer_result(column.get()).release();
        default: return column.release();  // another Arrow producer gets the column itself
    }
}

void create_answer_column_type() {
    static PyType_Spec spec = {"velt._velt.AnswerColumn", sizeof(AnswerColumn), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                               AnswerColumn_slots};
    AnswerColumn::type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
    if (AnswerColumn::type == nullptr) throw_python_error();
}

}  // namespace velt::python
