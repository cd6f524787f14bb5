// MinHashLSH: the Python class over velt::MinHashLSH.
#include "core/minhash.hpp"
#include "core/minhash_lsh.hpp"
#include "python/arguments.hpp"
#include "python/classes.hpp"
#include "python/methods.hpp"
#include "python/persistence_methods.hpp"
#include "python/slots.hpp"

namespace velt::python {

template <>
inline constexpr const char* class_name<MinHashLSH> = "MinHashLSH";

namespace {

using Object = Instance<MinHashLSH>;

// ---- Keys and signatures -------------------------------------------------------

// A key: a str, or a non-negative int (not a bool).
IndexKey to_key(PyObject* value, const char* name) {
    if (PyUnicode_Check(value)) return IndexKey::of_text(to_utf8(value, name));
    if (PyLong_Check(value) && !PyBool_Check(value)) return IndexKey::of_number(to_u64(value, name));
    throw_type_error(std::string("argument '") + name + "': a key must be a str or a non-negative int, not '" +
                     type_name(Py_TYPE(value)) + "'");
}

PyObject* key_object(const IndexKey* key) { return key->is_text() ? new_str(key->text) : new_u64(key->number); }

PyObject* key_list(const std::vector<const IndexKey*>& keys) { return new_list(keys, key_object); }

// Appends one signature to `rows`: a MinHash of the index's settings, or a
// sequence (or 1-D buffer) of num_hashes unsigned 64-bit integers.
void append_signature(PyObject* value, const char* name, const MinHashLSH& index, LargeArray<std::uint64_t>& rows) {
    if (Instance<MinHash>::check(value)) {
        auto minhash = Instance<MinHash>::shared(value);
        index.check_minhash(minhash.core.num_hashes(), minhash.core.seed());
        rows.insert(rows.end(), minhash.core.signature().begin(), minhash.core.signature().end());
        return;
    }
    const LargeArray<std::uint64_t> signature = to_hashes(value, name);
    index.check_signature(signature);
    rows.insert(rows.end(), signature.begin(), signature.end());
}

// Many signatures, one after another: a 2-D array of num_hashes columns (as
// MinHash.signatures gives), or a sequence of signatures.
LargeArray<std::uint64_t> to_signature_rows(PyObject* value, const char* name, const MinHashLSH& index) {
    if (auto rows = hash_rows_from_buffer(value)) {
        if (rows->row_length != index.num_hashes()) {
            throw ValueError("signature has " + std::to_string(rows->row_length) + " values; the index takes " +
                             std::to_string(index.num_hashes()));
        }
        return std::move(rows->values);
    }
    check_sequence_argument(value, name);
    LargeArray<std::uint64_t> rows;
    for_each_new_reference(value, [&](Ref element) { append_signature(element.get(), name, index, rows); });
    return rows;
}

std::span<const std::uint64_t> row(const LargeArray<std::uint64_t>& rows, std::size_t i, std::uint64_t width) {
    return {rows.data() + i * width, static_cast<std::size_t>(width)};
}

// ---- Construction ------------------------------------------------------------

PyObject* MinHashLSH_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    return entry_point([&] {
        static constexpr Signature<6> signature{
            class_name<MinHashLSH>, "__new__", {"threshold", "num_hashes", "seed", "bands", "rows", "scheme"}, 0};
        const auto bound = bind(signature, args, kwargs);
        MinHashLSHSettings settings;
        if (bound[0]) settings.threshold = to_f64(bound[0], "threshold");
        if (bound[1]) settings.num_hashes = to_u64(bound[1], "num_hashes");
        if (bound[2]) settings.seed = to_u64(bound[2], "seed");
        settings.bands = to_optional_u64(bound[3], "bands");
        settings.rows = to_optional_u64(bound[4], "rows");
        if (bound[5]) settings.scheme = scheme_from_name(to_text(bound[5], "scheme"));
        return Object::wrap(MinHashLSH::create(settings));
    });
}

// ---- Inserting and removing (exclusive borrow) ------------------------------------

PyObject* MinHashLSH_insert(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry_point([&] {
        const auto bound =
            bind(Signature<2>{class_name<MinHashLSH>, "insert", {"key", "signature"}}, args, nargs, kwnames);
        auto index = Object::exclusive(self);
        const IndexKey key = to_key(bound[0], "key");
        LargeArray<std::uint64_t> signature;
        append_signature(bound[1], "signature", index.core, signature);
        index.core.insert(key, signature);
        return none();
    });
}

PyObject* MinHashLSH_update(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry_point([&] {
        const auto bound =
            bind(Signature<2>{class_name<MinHashLSH>, "update", {"keys", "signatures"}}, args, nargs, kwnames);
        auto index = Object::exclusive(self);
        check_sequence_argument(bound[0], "keys");
        std::vector<IndexKey> keys;
        keys.reserve(reservation_for(bound[0]));
        for_each_new_reference(bound[0], [&](Ref key) { keys.push_back(to_key(key.get(), "keys")); });
        const LargeArray<std::uint64_t> signatures = to_signature_rows(bound[1], "signatures", index.core);
        without_gil([&] { index.core.update(keys, signatures); });
        return none();
    });
}

PyObject* MinHashLSH_remove(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry_point([&] {
        const auto bound = bind(Signature<1>{class_name<MinHashLSH>, "remove", {"key"}}, args, nargs, kwnames);
        auto index = Object::exclusive(self);
        index.core.remove(to_key(bound[0], "key"));
        return none();
    });
}

// ---- Querying (shared borrow) ----------------------------------------------------

PyObject* MinHashLSH_query(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry_point([&] {
        const auto bound = bind(Signature<1>{class_name<MinHashLSH>, "query", {"signature"}}, args, nargs, kwnames);
        auto index = Object::shared(self);
        LargeArray<std::uint64_t> signature;
        append_signature(bound[0], "signature", index.core, signature);
        return key_list(index.core.query(signature));
    });
}

PyObject* MinHashLSH_query_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry_point([&] {
        const auto bound =
            bind(Signature<1>{class_name<MinHashLSH>, "query_many", {"signatures"}}, args, nargs, kwnames);
        auto index = Object::shared(self);
        const LargeArray<std::uint64_t> signatures = to_signature_rows(bound[0], "signatures", index.core);
        const std::uint64_t width = index.core.num_hashes();
        const std::size_t count = signatures.size() / width;
        std::vector<std::vector<const IndexKey*>> answers(count);
        without_gil([&] {
            for (std::size_t i = 0; i < count; ++i) answers[i] = index.core.query(row(signatures, i, width));
        });
        return new_list(answers, key_list);
    });
}

int MinHashLSH_contains(PyObject* self, PyObject* key) {
    return entry_point([&] {
        auto index = Object::shared(self);
        return static_cast<int>(index.core.contains(to_key(key, "key")));
    });
}

// duplicates(verify=False) and duplicate_of(verify=False).
bool to_verify(PyObject* value) {
    if (value == nullptr) return false;
    const int truth = PyObject_IsTrue(value);
    if (truth < 0) throw_python_error();
    return truth == 1;
}

PyObject* MinHashLSH_duplicates(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry_point([&] {
        const auto bound =
            bind(Signature<1>{class_name<MinHashLSH>, "duplicates", {"verify"}, 0}, args, nargs, kwnames);
        const bool verify = to_verify(bound[0]);
        auto index = Object::shared(self);
        const KeyGroups groups = without_gil([&] { return index.core.duplicates(verify); });
        return new_list(groups, key_list);
    });
}

PyObject* MinHashLSH_duplicate_of(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry_point([&] {
        const auto bound =
            bind(Signature<1>{class_name<MinHashLSH>, "duplicate_of", {"verify"}, 0}, args, nargs, kwnames);
        const bool verify = to_verify(bound[0]);
        auto index = Object::shared(self);
        const auto leaders = without_gil([&] { return index.core.group_leaders(verify); });
        Ref mapping = Ref::checked(PyDict_New());
        const std::span<const IndexKey> keys = index.core.keys();
        for (std::size_t i = 0; i < keys.size(); ++i) {
            Ref key = Ref::checked(key_object(&keys[i]));
            Ref leader = Ref::checked(key_object(leaders[i]));
            if (PyDict_SetItem(mapping.get(), key.get(), leader.get()) < 0) throw_python_error();
        }
        return mapping.release();
    });
}

Py_ssize_t MinHashLSH_length(PyObject* self) {
    return length_slot<MinHashLSH, &MinHashLSH::size>(self);
}

// ---- Method table ----------------------------------------------------------------

PyMethodDef MinHashLSH_methods[] = {
    method("insert", MinHashLSH_insert,
           "insert($self, key, signature)\n--\n\nAdd a key (a str or a non-negative int) with its signature: a\n"
           "MinHash of the index's num_hashes and seed, or num_hashes unsigned 64-bit integers (a row\n"
           "of MinHash.signatures). A key already present raises ValueError, as does a signature of\n"
           "another length or other settings; the index is then left as it was."),
    method("update", MinHashLSH_update,
           "update($self, keys, signatures)\n--\n\nAdd many keys with their signatures (a 2-D array such as\n"
           "MinHash.signatures returns, or a sequence of signatures), releasing the GIL. Every key and\n"
           "signature is checked first: on any error nothing is added."),
    method("query", MinHashLSH_query,
           "query($self, signature)\n--\n\nThe candidate keys for a signature: those agreeing with it on\n"
           "every slot of at least one band, in the order they were inserted."),
    method("query_many", MinHashLSH_query_many,
           "query_many($self, signatures)\n--\n\nThe candidates of many signatures, one list each, releasing the GIL."),
    method("remove", MinHashLSH_remove,
           "remove($self, key)\n--\n\nRemove a key; an absent key raises ValueError. The last key inserted\n"
           "takes the removed key's place in the insertion order."),
    method("duplicates", MinHashLSH_duplicates,
           "duplicates($self, verify=False)\n--\n\nEvery group of two or more keys joined by candidate pairs\n"
           "(connected components), each group in insertion order. With verify=True only pairs whose\n"
           "estimated Jaccard similarity reaches the threshold join."),
    method("duplicate_of", MinHashLSH_duplicate_of,
           "duplicate_of($self, verify=False)\n--\n\nA dict from every key to the first key of its group in\n"
           "duplicates() (the key itself when it has no duplicate), for joining onto a frame."),
    method("merge", merge_method<MinHashLSH>,
           "merge($self, other)\n--\n\nAdd every entry of an index of the same settings. A key in both\n"
           "indexes is kept once; with different signatures it raises ValueError and leaves the index\n"
           "as it was."),
    method("copy", copy_method<MinHashLSH>, "copy($self)\n--\n\nCreate a deep copy of this index."),
    method("clear", clear_method<MinHashLSH>, "clear($self)\n--\n\nRemove every key."),
    method("to_bytes", Persistence<MinHashLSH>::to_bytes, "to_bytes($self)\n--\n\nSerialize to bytes."),
    static_method("from_bytes", Persistence<MinHashLSH>::from_bytes,
                  "from_bytes(data)\n--\n\nDeserialize from bytes."),
    method("to_json", Persistence<MinHashLSH>::to_json, "to_json($self)\n--\n\nSerialize to JSON string."),
    static_method("from_json", Persistence<MinHashLSH>::from_json,
                  "from_json(data)\n--\n\nDeserialize from JSON string."),
    method("save", Persistence<MinHashLSH>::save, "save($self, path)\n--\n\nSave the index to a file."),
    static_method("load", Persistence<MinHashLSH>::load, "load(path)\n--\n\nLoad an index from a file."),
    static_method("_magic", Persistence<MinHashLSH>::magic,
                  "_magic()\n--\n\nThe four bytes that start the binary form, which name the class of a saved structure."),
    {nullptr, nullptr, 0, nullptr},
};

// ---- Properties ------------------------------------------------------------------

PyGetSetDef MinHashLSH_properties[] = {
    {"threshold", property<MinHashLSH>([](const MinHashLSH& m) { return new_f64(m.threshold()); }), nullptr,
     "Get the Jaccard similarity threshold.", nullptr},
    {"num_hashes", property<MinHashLSH>([](const MinHashLSH& m) { return new_u64(m.num_hashes()); }), nullptr,
     "Get the number of slots of a signature.", nullptr},
    {"seed", property<MinHashLSH>([](const MinHashLSH& m) { return new_u64(m.seed()); }), nullptr, "Get the seed.",
     nullptr},
    {"bands", property<MinHashLSH>([](const MinHashLSH& m) { return new_u64(m.bands()); }), nullptr,
     "Get the number of bands.", nullptr},
    {"rows", property<MinHashLSH>([](const MinHashLSH& m) { return new_u64(m.rows()); }), nullptr,
     "Get the number of slots per band.", nullptr},
    {"scheme", property<MinHashLSH>([](const MinHashLSH& m) { return new_str(scheme_name(m.scheme())); }), nullptr,
     "Get the signature scheme ('classic' or 'multiply_shift').", nullptr},
    {"size_in_bytes", property<MinHashLSH>([](const MinHashLSH& m) { return new_u64(m.size_in_bytes()); }),
     nullptr, "Get the memory footprint in bytes.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---- Type object ------------------------------------------------------------------

const char MinHashLSH_doc[] =
    "MinHashLSH(threshold=0.8, num_hashes=128, seed=0, bands=None, rows=None, scheme='classic')\n--\n\n"
    "An index of MinHash signatures that finds the keys whose sets are probably similar\n"
    "(locality-sensitive hashing): signatures are cut into bands of rows, and keys that share\n"
    "a band become candidates. Unless given, bands and rows are chosen for the threshold,\n"
    "minimising the false positive and false negative areas of the S-curve.";

PyType_Slot MinHashLSH_slots[] = {
    {Py_tp_doc, const_cast<char*>(MinHashLSH_doc)},
    {Py_tp_new, reinterpret_cast<void*>(MinHashLSH_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(Object::dealloc)},
    {Py_tp_methods, MinHashLSH_methods},
    {Py_tp_getset, MinHashLSH_properties},
    {Py_sq_length, reinterpret_cast<void*>(MinHashLSH_length)},
    {Py_sq_contains, reinterpret_cast<void*>(MinHashLSH_contains)},
    {Py_tp_repr, reinterpret_cast<void*>(repr_slot<MinHashLSH>)},
    {0, nullptr},
};

}  // namespace

void add_minhash_lsh(PyObject* module) { add_class<MinHashLSH>(module, MinHashLSH_slots); }

}  // namespace velt::python
