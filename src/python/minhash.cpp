// MinHash: the Python class over velt::MinHash.
#include "core/minhash.hpp"
#include "python/arguments.hpp"
#include "python/classes.hpp"
#include "python/methods.hpp"
#include "python/persistence_methods.hpp"
#include "python/signatures.hpp"
#include "python/slots.hpp"

namespace velt::python {

template <>
inline constexpr const char* class_name<MinHash> = "MinHash";

namespace {

using Object = Instance<MinHash>;

// ---- Construction ------------------------------------------------------------

PyObject* MinHash_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    return entry_point([&] {
        static constexpr Signature<2> signature{class_name<MinHash>, "__new__", {"num_hashes", "seed"}, 0};
        const auto bound = bind(signature, args, kwargs);
        const std::uint64_t num_hashes = bound[0] ? to_u64(bound[0], "num_hashes") : 128;
        const std::uint64_t seed = bound[1] ? to_u64(bound[1], "seed") : 0;
        return Object::wrap(MinHash::create(num_hashes, seed));
    });
}

// ---- Comparing -----------------------------------------------------------------

// jaccard(other) and its alias query(other).
template <MethodName name>
PyObject* MinHash_jaccard(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry_point([&] {
        const auto bound = bind(Signature<1>{class_name<MinHash>, name.text, {"other"}}, args, nargs, kwnames);
        auto minhash = Object::shared(self);
        auto other = to_other<MinHash>(bound[0], "other");
        return new_f64(minhash.core.jaccard(other.core));
    });
}

PyObject* MinHash_jaccard_interval(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry_point([&] {
        static constexpr Signature<2> signature{class_name<MinHash>, "jaccard_interval", {"other", "confidence"}, 1};
        const auto bound = bind(signature, args, nargs, kwnames);
        auto minhash = Object::shared(self);
        auto other = to_other<MinHash>(bound[0], "other");
        const double confidence = bound[1] ? to_f64(bound[1], "confidence") : 0.95;
        const ConfidenceInterval interval = minhash.core.jaccard_interval(other.core, confidence);
        return new_f64_pair(interval.lower, interval.upper);
    });
}

// ---- Reading -------------------------------------------------------------------

PyObject* signature_list(const MinHash& minhash) { return new_list(minhash.signature(), new_u64); }

// ---- Method table ----------------------------------------------------------------

PyMethodDef MinHash_methods[] = {
    method("add", insert_item<MinHash, "add", &MinHash::add>,
           "add($self, item)\n--\n\nAdd an item to the MinHash signature."),
    method("update", insert_items<MinHash, "update", &MinHash::update>,
           "update($self, items)\n--\n\nAdd multiple items to the signature, releasing the GIL while hashing."),
    method("update_many", insert_items<MinHash, "update_many", &MinHash::update>,
           "update_many($self, items)\n--\n\nAdd multiple items using the optimized batch path."),
    method("add_hash", insert_hash<MinHash, "add_hash", &MinHash::add_hash>,
           "add_hash($self, hash)\n--\n\nAdd a caller-provided 64-bit hash."),
    method("update_hashes", insert_hashes<MinHash, "update_hashes", &MinHash::update_hashes>,
           "update_hashes($self, hashes)\n--\n\nAdd caller-provided 64-bit hashes."),
    method("jaccard", MinHash_jaccard<"jaccard">,
           "jaccard($self, other)\n--\n\nEstimate the Jaccard similarity with another MinHash.\n\n"
           "Returns a value between 0.0 (completely different) and 1.0 (identical)."),
    method("query", MinHash_jaccard<"query">,
           "query($self, other)\n--\n\nQuery similarity with another MinHash (alias for jaccard)."),
    method("jaccard_interval", MinHash_jaccard_interval,
           "jaccard_interval($self, other, confidence=0.95)\n--\n\n"
           "Approximate normal confidence interval for the Jaccard estimate."),
    method("merge", merge_method<MinHash>,
           "merge($self, other)\n--\n\nMerge another MinHash into this one (union of the underlying sets)."),
    method("copy", copy_method<MinHash>, "copy($self)\n--\n\nCreate a deep copy of this MinHash."),
    method("clear", clear_method<MinHash>, "clear($self)\n--\n\nClear the signature (reset to initial state)."),
    method("is_empty", read_only<MinHash, "is_empty", [](const MinHash& m) { return new_bool(m.is_empty()); }>,
           "is_empty($self)\n--\n\nCheck if the signature is empty (no items added)."),
    method("to_bytes", Persistence<MinHash>::to_bytes, "to_bytes($self)\n--\n\nSerialize to bytes."),
    static_method("from_bytes", Persistence<MinHash>::from_bytes, "from_bytes(data)\n--\n\nDeserialize from bytes."),
    method("to_json", Persistence<MinHash>::to_json, "to_json($self)\n--\n\nSerialize to JSON string."),
    static_method("from_json", Persistence<MinHash>::from_json, "from_json(data)\n--\n\nDeserialize from JSON string."),
    method("save", Persistence<MinHash>::save, "save($self, path)\n--\n\nSave the signature to a file."),
    static_method("load", Persistence<MinHash>::load, "load(path)\n--\n\nLoad a signature from a file."),
    static_method("_magic", Persistence<MinHash>::magic,
                  "_magic()\n--\n\nThe four bytes that start the binary form, which name the class of a saved structure."),
    method("get_signature", read_only<MinHash, "get_signature", signature_list>,
           "get_signature($self)\n--\n\nGet the signature as a list of integers."),
    method("signature", read_only<MinHash, "signature", signature_list>,
           "signature($self)\n--\n\nGet the signature as a list of integers."),
    static_method("signatures", MinHash_signatures,
                  "signatures(documents, num_hashes=128, seed=0, shingle='word', n=5, scheme='classic')\n--\n\n"
                  "Signatures of many documents at once, computed without the GIL.\n\n"
                  "documents: a sequence or column of texts, cut into shingles (shingle='word': runs of n\n"
                  "words split as str.split() does, joined by one space; shingle='character': runs of n\n"
                  "characters; a text shorter than n is one shingle), or a sequence of lists of items,\n"
                  "each item a shingle. Returns a 2-D memoryview of unsigned 64-bit integers (format 'Q'),\n"
                  "one row of num_hashes values per document; numpy.asarray() takes it as it is.\n"
                  "scheme='classic' gives each row exactly the signature of MinHash(num_hashes, seed)\n"
                  "updated with the same shingles; scheme='multiply_shift' hashes each shingle once and\n"
                  "derives every slot from that hash, many times faster, with the same accuracy.\n"
                  "An empty document has the empty signature."),
    method("standard_error",
           read_only<MinHash, "standard_error", [](const MinHash& m) { return new_f64(m.standard_error()); }>,
           "standard_error($self)\n--\n\nGet the standard error of the Jaccard estimate."),
    {nullptr, nullptr, 0, nullptr},
};

// ---- Properties ------------------------------------------------------------------

PyGetSetDef MinHash_properties[] = {
    {"num_hashes", property<MinHash>([](const MinHash& m) { return new_u64(m.num_hashes()); }), nullptr,
     "Get the number of hash functions.", nullptr},
    {"size_in_bytes", property<MinHash>([](const MinHash& m) { return new_u64(m.size_in_bytes()); }), nullptr,
     "Get the memory footprint in bytes.", nullptr},
    {"seed", property<MinHash>([](const MinHash& m) { return new_u64(m.seed()); }), nullptr, "Get the seed.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---- Type object ------------------------------------------------------------------

const char MinHash_doc[] =
    "MinHash(num_hashes=128, seed=0)\n--\n\n"
    "A probabilistic data structure for estimating set similarity using Jaccard index.\n\n"
    "MinHash creates a compact signature of a set that can be used to estimate\n"
    "the Jaccard similarity between sets without storing the actual elements.";

// No __len__ and no __contains__: a signature holds no items to count or look up.
PyType_Slot MinHash_slots[] = {
    {Py_tp_doc, const_cast<char*>(MinHash_doc)},
    {Py_tp_new, reinterpret_cast<void*>(MinHash_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(Object::dealloc)},
    {Py_tp_methods, MinHash_methods},
    {Py_tp_getset, MinHash_properties},
    {Py_nb_inplace_or, reinterpret_cast<void*>(merge_in_place_slot<MinHash>)},
    {Py_tp_repr, reinterpret_cast<void*>(repr_slot<MinHash>)},
    {Py_nb_or, reinterpret_cast<void*>(union_slot<MinHash>)},
    {0, nullptr},
};

}  // namespace

void add_minhash(PyObject* module) {
    create_signature_array_type();
    add_class<MinHash>(module, MinHash_slots);
}

}  // namespace velt::python
