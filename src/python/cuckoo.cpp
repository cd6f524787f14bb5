// CuckooFilter: the Python class over velt::CuckooFilter.
#include "core/cuckoo.hpp"
#include "python/answers.hpp"
#include "python/arguments.hpp"
#include "python/classes.hpp"
#include "python/methods.hpp"
#include "python/persistence_methods.hpp"
#include "python/slots.hpp"

namespace velt::python {

template <>
inline constexpr const char* class_name<CuckooFilter> = "CuckooFilter";

namespace {

using Object = Instance<CuckooFilter>;

// ---- Construction ------------------------------------------------------------

PyObject* CuckooFilter_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    return entry_point([&] {
        static constexpr Signature<2> signature{class_name<CuckooFilter>, "__new__", {"capacity", "seed"}, 1};
        const auto bound = bind(signature, args, kwargs);
        const std::uint64_t capacity = to_u64(bound[0], "capacity");
        const std::uint64_t seed = bound[1] ? to_u64(bound[1], "seed") : 0;
        return Object::wrap(CuckooFilter::create(capacity, seed));
    });
}

// ---- Method table ----------------------------------------------------------------

PyMethodDef CuckooFilter_methods[] = {
    method("add", insert_item<CuckooFilter, "add", &CuckooFilter::add>,
           "add($self, item)\n--\n\nAdd an item to the filter.\n\n"
           "Returns True if the item was added successfully, False if the filter is full."),
    method("update", insert_items<CuckooFilter, "update", &CuckooFilter::update>,
           "update($self, items)\n--\n\nAdd multiple items to the filter.\n\n"
           "Returns the number of items successfully added."),
    method("update_many", insert_items<CuckooFilter, "update_many", &CuckooFilter::update>,
           "update_many($self, items)\n--\n\nAdd multiple items using the optimized batch path."),
    method("add_hash", insert_hash<CuckooFilter, "add_hash", &CuckooFilter::add_hash>,
           "add_hash($self, hash)\n--\n\nAdd a caller-provided 64-bit hash."),
    method("update_hashes", insert_hashes<CuckooFilter, "update_hashes", &CuckooFilter::update_hashes>,
           "update_hashes($self, hashes)\n--\n\nAdd caller-provided 64-bit hashes."),
    method("contains", query_item<CuckooFilter, "contains", &CuckooFilter::contains, new_bool>,
           "contains($self, item)\n--\n\nCheck if an item might be in the filter."),
    method("query", query_item<CuckooFilter, "query", &CuckooFilter::contains, new_bool>,
           "query($self, item)\n--\n\nCheck if an item might be in the filter (alias for contains)."),
    method("query_many", query_items<CuckooFilter, "query_many", &CuckooFilter::query_many>,
           "query_many($self, items)\n--\n\nQuery multiple items using the optimized batch path.\n\n" VELT_BOOLEAN_ANSWERS),
    method("contains_hash", query_hash<CuckooFilter, "contains_hash", &CuckooFilter::contains_hash, new_bool>,
           "contains_hash($self, hash)\n--\n\nQuery a caller-provided 64-bit hash."),
    method("query_hashes", query_hashes<CuckooFilter, "query_hashes", &CuckooFilter::query_hashes>,
           "query_hashes($self, hashes)\n--\n\nQuery caller-provided 64-bit hashes.\n\n" VELT_BOOLEAN_ANSWERS),
    // A removal changes the filter like an insertion does: exclusive borrow, bool answer.
    method("remove", insert_item<CuckooFilter, "remove", &CuckooFilter::remove>,
           "remove($self, item)\n--\n\nRemove an item from the filter.\n\n"
           "Returns True if a matching fingerprint was found and removed. Only call\n"
           "this for items known to have been inserted."),
    method("copy", copy_method<CuckooFilter>, "copy($self)\n--\n\nCreate a deep copy of this filter."),
    method("clear", clear_method<CuckooFilter>, "clear($self)\n--\n\nClear all items from the filter."),
    method("to_bytes", Persistence<CuckooFilter>::to_bytes, "to_bytes($self)\n--\n\nSerialize the filter to bytes."),
    static_method("from_bytes", Persistence<CuckooFilter>::from_bytes,
                  "from_bytes(data)\n--\n\nDeserialize a filter from bytes."),
    method("to_json", Persistence<CuckooFilter>::to_json, "to_json($self)\n--\n\nSerialize to JSON string."),
    static_method("from_json", Persistence<CuckooFilter>::from_json,
                  "from_json(data)\n--\n\nDeserialize from JSON string."),
    method("save", Persistence<CuckooFilter>::save, "save($self, path)\n--\n\nSave the filter to a file."),
    static_method("load", Persistence<CuckooFilter>::load, "load(path)\n--\n\nLoad a filter from a file."),
    static_method("_magic", Persistence<CuckooFilter>::magic,
                  "_magic()\n--\n\nThe four bytes that start the binary form, which name the class of a saved structure."),
    method("capacity",
           read_only<CuckooFilter, "capacity", [](const CuckooFilter& f) { return new_u64(f.capacity()); }>,
           "capacity($self)\n--\n\nGet the maximum capacity of the filter."),
    method("health", read_only<CuckooFilter, "health", [](const CuckooFilter& f) { return new_str(f.health()); }>,
           "health($self)\n--\n\nReturn a compact operational health signal based on load factor."),
    {nullptr, nullptr, 0, nullptr},
};

// ---- Properties ------------------------------------------------------------------

PyGetSetDef CuckooFilter_properties[] = {
    {"load_factor", property<CuckooFilter>([](const CuckooFilter& f) { return new_f64(f.load_factor()); }), nullptr,
     "Get the current load factor.", nullptr},
    {"size_in_bytes", property<CuckooFilter>([](const CuckooFilter& f) { return new_u64(f.size_in_bytes()); }),
     nullptr, "Get the memory footprint in bytes.", nullptr},
    {"seed", property<CuckooFilter>([](const CuckooFilter& f) { return new_u64(f.seed()); }), nullptr,
     "Get the seed.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---- Type object ------------------------------------------------------------------

const char CuckooFilter_doc[] =
    "CuckooFilter(capacity, seed=0)\n--\n\n"
    "A compact fixed-capacity membership filter with deletion support.\n\n"
    "As with any fingerprint-based filter, remove only items\n"
    "known to have been inserted: removing an absent false positive can delete a\n"
    "colliding fingerprint.";

PyType_Slot CuckooFilter_slots[] = {
    {Py_tp_doc, const_cast<char*>(CuckooFilter_doc)},
    {Py_tp_new, reinterpret_cast<void*>(CuckooFilter_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(Object::dealloc)},
    {Py_tp_methods, CuckooFilter_methods},
    {Py_tp_getset, CuckooFilter_properties},
    {Py_sq_length, reinterpret_cast<void*>(length_slot<CuckooFilter, &CuckooFilter::count>)},
    {Py_sq_contains, reinterpret_cast<void*>(contains_slot<CuckooFilter, &CuckooFilter::contains>)},
    {Py_tp_repr, reinterpret_cast<void*>(repr_slot<CuckooFilter>)},
    {0, nullptr},
};

}  // namespace

void add_cuckoo_filter(PyObject* module) { add_class<CuckooFilter>(module, CuckooFilter_slots); }

}  // namespace velt::python
