// BlockedBloomFilter: the Python class over velt::BlockedBloomFilter.
#include "core/blocked_bloom.hpp"
#include "python/answers.hpp"
#include "python/arguments.hpp"
#include "python/classes.hpp"
#include "python/methods.hpp"
#include "python/persistence_methods.hpp"
#include "python/slots.hpp"

namespace velt::python {

template <>
inline constexpr const char* class_name<BlockedBloomFilter> = "BlockedBloomFilter";

namespace {

using Object = Instance<BlockedBloomFilter>;

// ---- Construction ------------------------------------------------------------

PyObject* BlockedBloomFilter_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    return entry_point([&] {
        static constexpr Signature<4> signature{
            class_name<BlockedBloomFilter>, "__new__", {"expected_items", "false_positive_rate", "num_blocks", "seed"}, 0};
        const auto bound = bind(signature, args, kwargs);
        const auto expected_items = to_optional_u64(bound[0], "expected_items");
        const double false_positive_rate = bound[1] ? to_f64(bound[1], "false_positive_rate") : 0.01;
        const auto num_blocks = to_optional_u64(bound[2], "num_blocks");
        const std::uint64_t seed = bound[3] ? to_u64(bound[3], "seed") : 0;
        return Object::wrap(BlockedBloomFilter::create(expected_items, false_positive_rate, num_blocks, seed));
    });
}

// ---- Combining -----------------------------------------------------------------

PyObject* BlockedBloomFilter_intersection(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry_point([&] {
        const auto bound = bind(Signature<1>{class_name<BlockedBloomFilter>, "intersection", {"other"}}, args, nargs, kwnames);
        auto filter = Object::shared(self);
        auto other = to_other<BlockedBloomFilter>(bound[0], "other");
        return Object::wrap(filter.core.intersection(other.core));
    });
}

// ---- Method table ----------------------------------------------------------------

PyMethodDef BlockedBloomFilter_methods[] = {
    method("add", insert_item<BlockedBloomFilter, "add", &BlockedBloomFilter::add>,
           "add($self, item)\n--\n\nAdd an item to the blocked Bloom filter.\n\n"
           "Strings and bytes are hashed directly. Other objects use their string representation."),
    method("update", insert_hashed_items<BlockedBloomFilter, "update">,
           "update($self, items)\n--\n\nAdd multiple items to the blocked Bloom filter, releasing the GIL while hashing."),
    method("update_many", insert_hashed_items<BlockedBloomFilter, "update_many">,
           "update_many($self, items)\n--\n\nAdd multiple items using the optimized batch path."),
    method("add_hash", insert_hash<BlockedBloomFilter, "add_hash", &BlockedBloomFilter::add_hash>,
           "add_hash($self, hash)\n--\n\nAdd a caller-provided 64-bit hash."),
    method("update_hashes", insert_hashes<BlockedBloomFilter, "update_hashes", &BlockedBloomFilter::update_hashes>,
           "update_hashes($self, hashes)\n--\n\n"
           "Add caller-provided 64-bit hashes without re-encoding the source items."),
    method("contains", query_item<BlockedBloomFilter, "contains", &BlockedBloomFilter::contains, new_bool>,
           "contains($self, item)\n--\n\nCheck if an item might be in the blocked Bloom filter.\n\n"
           "Returns True if the item might be in the set (possible false positive).\n"
           "Returns False if the item is definitely not in the set."),
    method("query", query_item<BlockedBloomFilter, "query", &BlockedBloomFilter::contains, new_bool>,
           "query($self, item)\n--\n\nCheck if an item might be in the blocked Bloom filter (alias for contains)."),
    method("query_many", query_hashed_items<BlockedBloomFilter, "query_many">,
           "query_many($self, items)\n--\n\nQuery multiple items using the optimized batch path.\n\n" VELT_BOOLEAN_ANSWERS),
    method("contains_hash", query_hash<BlockedBloomFilter, "contains_hash", &BlockedBloomFilter::contains_hash, new_bool>,
           "contains_hash($self, hash)\n--\n\nQuery a caller-provided 64-bit hash."),
    method("query_hashes", query_hashes<BlockedBloomFilter, "query_hashes", &BlockedBloomFilter::query_hashes>,
           "query_hashes($self, hashes)\n--\n\nQuery caller-provided 64-bit hashes.\n\n" VELT_BOOLEAN_ANSWERS),
    method("merge", merge_method<BlockedBloomFilter>,
           "merge($self, other)\n--\n\nMerge another blocked Bloom filter into this one (union operation).\n\n"
           "Both filters must have the same configuration (num_blocks, seed)."),
    method("intersection", BlockedBloomFilter_intersection,
           "intersection($self, other)\n--\n\nCompute intersection with another blocked Bloom filter.\n\n"
           "Returns a new filter containing items that might be in both filters."),
    method("copy", copy_method<BlockedBloomFilter>, "copy($self)\n--\n\nCreate a deep copy of this blocked Bloom filter."),
    method("clear", clear_method<BlockedBloomFilter>, "clear($self)\n--\n\nClear all items from the blocked Bloom filter."),
    method("to_bytes", Persistence<BlockedBloomFilter>::to_bytes,
           "to_bytes($self)\n--\n\nSerialize the blocked Bloom filter to bytes (compact binary format)."),
    static_method("from_bytes", Persistence<BlockedBloomFilter>::from_bytes,
                  "from_bytes(data)\n--\n\nDeserialize a blocked Bloom filter from bytes."),
    method("to_json", Persistence<BlockedBloomFilter>::to_json,
           "to_json($self)\n--\n\nSerialize the blocked Bloom filter to a JSON string."),
    static_method("from_json", Persistence<BlockedBloomFilter>::from_json,
                  "from_json(data)\n--\n\nDeserialize a blocked Bloom filter from a JSON string."),
    method("save", Persistence<BlockedBloomFilter>::save, "save($self, path)\n--\n\nSave the blocked Bloom filter to a file."),
    static_method("load", Persistence<BlockedBloomFilter>::load, "load(path)\n--\n\nLoad a blocked Bloom filter from a file."),
    static_method("open", Persistence<BlockedBloomFilter>::open, VELT_OPEN_DOCSTRING("blocked Bloom filter")),
    static_method("_magic", Persistence<BlockedBloomFilter>::magic,
                  "_magic()\n--\n\nThe four bytes that start the binary form, which name the class of a saved structure."),
    method("bit_count",
           read_only<BlockedBloomFilter, "bit_count", [](const BlockedBloomFilter& f) { return new_u64(f.bit_count()); }>,
           "bit_count($self)\n--\n\nGet the number of bits set to 1."),
    method("fill_ratio",
           read_only<BlockedBloomFilter, "fill_ratio", [](const BlockedBloomFilter& f) { return new_f64(f.fill_ratio()); }>,
           "fill_ratio($self)\n--\n\nGet the fill ratio (fraction of bits set)."),
    method("estimate_count",
           read_only<BlockedBloomFilter, "estimate_count", [](const BlockedBloomFilter& f) { return new_f64(f.estimate_count()); }>,
           "estimate_count($self)\n--\n\nEstimate the number of items in the filter based on fill ratio.\n\n"
           "This can be more accurate than `len()` after merging filters."),
    method("health", read_only<BlockedBloomFilter, "health", [](const BlockedBloomFilter& f) { return new_str(f.health()); }>,
           "health($self)\n--\n\nReturn a compact operational health signal based on observed fill."),
    method("is_saturated",
           read_only<BlockedBloomFilter, "is_saturated", [](const BlockedBloomFilter& f) { return new_bool(f.is_saturated()); }>,
           "is_saturated($self)\n--\n\nWhether the observed fill is high enough to make estimates unreliable."),
    {nullptr, nullptr, 0, nullptr},
};

// ---- Properties ------------------------------------------------------------------

PyGetSetDef BlockedBloomFilter_properties[] = {
    {"num_blocks", property<BlockedBloomFilter>([](const BlockedBloomFilter& f) { return new_u64(f.num_blocks()); }),
     nullptr, "Get the number of 256-bit blocks in the filter.", nullptr},
    {"num_bits", property<BlockedBloomFilter>([](const BlockedBloomFilter& f) { return new_u64(f.num_bits()); }), nullptr,
     "Get the number of bits in the filter (256 per block).", nullptr},
    {"size_in_bytes",
     property<BlockedBloomFilter>([](const BlockedBloomFilter& f) { return new_u64(f.size_in_bytes()); }), nullptr,
     "Get the memory footprint in bytes.", nullptr},
    {"false_positive_rate",
     property<BlockedBloomFilter>([](const BlockedBloomFilter& f) { return new_f64(f.false_positive_rate()); }), nullptr,
     "Get the false positive rate of the filter as it is: the chance that an item not added is found.", nullptr},
    {"seed", property<BlockedBloomFilter>([](const BlockedBloomFilter& f) { return new_u64(f.seed()); }), nullptr,
     "Get the seed used for hashing.", nullptr},
    {"read_only",
     property<BlockedBloomFilter>([](const BlockedBloomFilter& f) { return new_bool(f.is_read_only()); }), nullptr,
     "Whether the filter was opened read-only from its file (see open).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---- Type object ------------------------------------------------------------------

const char BlockedBloomFilter_doc[] =
    "BlockedBloomFilter(expected_items=None, false_positive_rate=0.01, num_blocks=None, seed=0)\n--\n\n"
    "A split-block Bloom filter: a Bloom filter whose items each set eight bits in one 256-bit block.\n\n"
    "Adding or testing an item touches one cache line, so it is faster than BloomFilter on large\n"
    "filters, and needs somewhat more memory for the same false positive rate. The layout is that\n"
    "of Parquet's and Impala's filters. It can have false positives but never false negatives.\n\n"
    "Example:\n"
    "    >>> bf = BlockedBloomFilter(expected_items=10000)\n"
    "    >>> bf.add(\"hello\")\n"
    "    >>> \"hello\" in bf\n"
    "    True\n"
    "    >>> \"world\" in bf\n"
    "    False";

PyType_Slot BlockedBloomFilter_slots[] = {
    {Py_tp_doc, const_cast<char*>(BlockedBloomFilter_doc)},
    {Py_tp_new, reinterpret_cast<void*>(BlockedBloomFilter_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(Object::dealloc)},
    {Py_tp_methods, BlockedBloomFilter_methods},
    {Py_tp_getset, BlockedBloomFilter_properties},
    {Py_tp_repr, reinterpret_cast<void*>(repr_slot<BlockedBloomFilter>)},
    {Py_sq_length, reinterpret_cast<void*>(length_slot<BlockedBloomFilter, &BlockedBloomFilter::count>)},
    {Py_sq_contains, reinterpret_cast<void*>(contains_slot<BlockedBloomFilter, &BlockedBloomFilter::contains>)},
    {Py_nb_inplace_or, reinterpret_cast<void*>(merge_in_place_slot<BlockedBloomFilter>)},
    {Py_nb_or, reinterpret_cast<void*>(union_slot<BlockedBloomFilter>)},
    {Py_nb_and, reinterpret_cast<void*>(intersection_slot<BlockedBloomFilter>)},
    {0, nullptr},
};

}  // namespace

void add_blocked_bloom_filter(PyObject* module) { add_class<BlockedBloomFilter>(module, BlockedBloomFilter_slots); }

}  // namespace velt::python
