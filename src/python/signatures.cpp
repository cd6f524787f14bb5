#include "python/signatures.hpp"

#include <memory>
#include <string>
#include <vector>

#include "core/signatures.hpp"
#include "python/arguments.hpp"
#include "python/columns.hpp"
#include "python/items.hpp"

namespace velt::python {

namespace {

// ---- The memory of a signature array --------------------------------------------------

// Owns the values and exports them through the buffer protocol; users see the
// memoryview made over it.
struct SignatureArray {
    PyObject_HEAD
    LargeArray<std::uint64_t>* values;
    Py_ssize_t shape[2];
    Py_ssize_t strides[2];
};

PyTypeObject* signature_array_type = nullptr;

void SignatureArray_dealloc(PyObject* object) {
    PyTypeObject* type = Py_TYPE(object);
    delete reinterpret_cast<SignatureArray*>(object)->values;
    auto free = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free(object);
    Py_DECREF(type);
}

int SignatureArray_getbuffer(PyObject* object, Py_buffer* view, int) {
    auto* self = reinterpret_cast<SignatureArray*>(object);
    view->obj = Py_NewRef(object);
    view->buf = self->values->data();
    view->len = self->shape[0] * self->shape[1] * static_cast<Py_ssize_t>(sizeof(std::uint64_t));
    view->itemsize = sizeof(std::uint64_t);
    view->readonly = 0;
    view->ndim = 2;
    view->format = const_cast<char*>("Q");
    view->shape = self->shape;
    view->strides = self->strides;
    view->suboffsets = nullptr;
    view->internal = nullptr;
    return 0;
}

PyType_Slot SignatureArray_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(SignatureArray_dealloc)},
    {Py_bf_getbuffer, reinterpret_cast<void*>(SignatureArray_getbuffer)},
    {0, nullptr},
};

PyType_Spec SignatureArray_spec = {"velt._velt._SignatureArray", sizeof(SignatureArray), 0,
                                   Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, SignatureArray_slots};

// ---- Documents ------------------------------------------------------------------------

// The signature rows of documents, grown a block of documents at a time.
class Rows {
public:
    explicit Rows(SignatureMaker& maker) : maker_(maker), width_(static_cast<std::size_t>(maker.num_hashes())) {}

    std::span<std::uint64_t> next() {
        values_.resize(values_.size() + width_);
        ++count_;
        return {values_.data() + values_.size() - width_, width_};
    }
    PyObject* release() { return new_signature_array(std::move(values_), count_, width_); }
    SignatureMaker& maker() { return maker_; }

private:
    SignatureMaker& maker_;
    std::size_t width_;
    std::uint64_t count_ = 0;
    LargeArray<std::uint64_t> values_;
};

void sign_texts(Rows& rows, Shingler& shingler, std::span<const std::string_view> texts) {
    for (std::string_view text : texts) rows.maker().sign_text(text, shingler, rows.next());
}

// A sequence of documents already cut into items: each converted to an item batch.
void sign_item_lists(Rows& rows, PyObject* documents) {
    std::vector<std::unique_ptr<ItemBatch>> batches;
    batches.reserve(reservation_for(documents));
    for_each_new_reference(documents, [&](Ref document) {
        if (PyUnicode_Check(document.get())) {
            throw_type_error("argument 'documents': every document must be a str, or every one a list of items");
        }
        batches.push_back(std::make_unique<ItemBatch>(document.get()));
    });
    without_gil([&] {
        for (const auto& batch : batches) rows.maker().sign_items(batch->items(), rows.next());
    });
}

// Whether a sequence of documents holds texts: empty, or its first element a str.
bool holds_texts(PyObject* documents) {
    const Py_ssize_t size = PyObject_Size(documents);
    if (size < 0) throw_python_error();
    if (size == 0) return true;
    Ref first = Ref::checked(PySequence_GetItem(documents, 0));
    return PyUnicode_Check(first.get());
}

}  // namespace

void create_signature_array_type() {
    signature_array_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&SignatureArray_spec));
    if (signature_array_type == nullptr) throw_python_error();
}

PyObject* new_signature_array(LargeArray<std::uint64_t>&& values, std::uint64_t rows, std::uint64_t columns) {
    Ref owner = Ref::checked(PyType_GenericAlloc(signature_array_type, 0));
    auto* array = reinterpret_cast<SignatureArray*>(owner.get());
    array->values = new LargeArray<std::uint64_t>(std::move(values));
    array->shape[0] = static_cast<Py_ssize_t>(rows);
    array->shape[1] = static_cast<Py_ssize_t>(columns);
    array->strides[0] = static_cast<Py_ssize_t>(columns * sizeof(std::uint64_t));
    array->strides[1] = sizeof(std::uint64_t);
    return PyMemoryView_FromObject(owner.get());
}

PyObject* MinHash_signatures(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry_point([&] {
        static constexpr Signature<6> signature{
            "MinHash", "signatures", {"documents", "num_hashes", "seed", "shingle", "n", "scheme"}, 1};
        const auto bound = bind(signature, args, nargs, kwnames);
        const std::uint64_t num_hashes = bound[1] ? to_u64(bound[1], "num_hashes") : 128;
        const std::uint64_t seed = bound[2] ? to_u64(bound[2], "seed") : 0;
        const std::string shingle = bound[3] ? to_text(bound[3], "shingle") : "word";
        const std::uint64_t n = bound[4] ? to_u64(bound[4], "n") : 5;
        const SignatureScheme scheme = scheme_from_name(bound[5] ? to_text(bound[5], "scheme") : "classic");
        SignatureMaker maker(num_hashes, seed, scheme);
        Shingler shingler(shingle, n);
        Rows rows(maker);
        PyObject* documents = bound[0];
        if (for_each_column_block(documents, ColumnValues::texts,
                                  [&](auto block) { sign_texts(rows, shingler, block); })) {
            return rows.release();
        }
        check_sequence_argument(documents, "documents");
        if (holds_texts(documents)) {
            const TextBatch texts(documents, "documents");
            without_gil([&] { sign_texts(rows, shingler, texts.texts()); });
        } else {
            sign_item_lists(rows, documents);
        }
        return rows.release();
    });
}

}  // namespace velt::python
