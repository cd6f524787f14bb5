// BloomFilter: the Python class over velt::BloomFilter.
#include "core/bloom.hpp"
#include "python/answers.hpp"
#include "python/arguments.hpp"
#include "python/classes.hpp"
#include "python/methods.hpp"
#include "python/persistence_methods.hpp"
#include "python/slots.hpp"

namespace velt::python {

template <>
inline constexpr const char* class_name<BloomFilter> = "BloomFilter";

namespace {

using Object = Instance<BloomFilter>;

// ---- Construction ------------------------------------------------------------

PyObject* BloomFilter_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    return entry_point([&] {
        static constexpr Signature<5> signature{
            class_name<BloomFilter>, "__new__", {"expected_items", "false_positive_rate", "num_bits", "num_hashes", "seed"}, 0};
        const auto bound = bind(signature, args, kwargs);
        const auto expected_items = to_optional_u64(bound[0], "expected_items");
        const double false_positive_rate = bound[1] ? to_f64(bound[1], "false_positive_rate") : 0.01;
        const auto num_bits = to_optional_u64(bound[2], "num_bits");
        const auto num_hashes = to_optional_u32(bound[3], "num_hashes");
        const std::uint64_t seed = bound[4] ? to_u64(bound[4], "seed") : 0;
        return Object::wrap(BloomFilter::create(expected_items, false_positive_rate, num_bits, num_hashes, seed));
    });
}

// ---- Combining -----------------------------------------------------------------

PyObject* BloomFilter_intersection(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry_point([&] {
        const auto bound = bind(Signature<1>{class_name<BloomFilter>, "intersection", {"other"}}, args, nargs, kwnames);
        auto filter = Object::shared(self);
        auto other = to_other<BloomFilter>(bound[0], "other");
        return Object::wrap(filter.core.intersection(other.core));
    });
}

// ---- Method table ----------------------------------------------------------------

PyMethodDef BloomFilter_methods[] = {
    method("add", insert_item<BloomFilter, "add", &BloomFilter::add>,
           "add($self, item)\n--\n\nAdd an item to the Bloom filter.\n\n"
           "Strings and bytes are hashed directly. Other objects use their string representation."),
    method("update", insert_items<BloomFilter, "update", &BloomFilter::update>,
           "update($self, items)\n--\n\nAdd multiple items to the Bloom filter, releasing the GIL while hashing."),
    method("update_many", insert_items<BloomFilter, "update_many", &BloomFilter::update>,
           "update_many($self, items)\n--\n\nAdd multiple items using the optimized batch path."),
    method("add_hash", insert_hash<BloomFilter, "add_hash", &BloomFilter::add_hash>,
           "add_hash($self, hash)\n--\n\nAdd a caller-provided 64-bit hash."),
    method("update_hashes", insert_hashes<BloomFilter, "update_hashes", &BloomFilter::update_hashes>,
           "update_hashes($self, hashes)\n--\n\n"
           "Add caller-provided 64-bit hashes without re-encoding the source items."),
    method("contains", query_item<BloomFilter, "contains", &BloomFilter::contains, new_bool>,
           "contains($self, item)\n--\n\nCheck if an item might be in the Bloom filter.\n\n"
           "Returns True if the item might be in the set (possible false positive).\n"
           "Returns False if the item is definitely not in the set."),
    method("query", query_item<BloomFilter, "query", &BloomFilter::contains, new_bool>,
           "query($self, item)\n--\n\nCheck if an item might be in the Bloom filter (alias for contains)."),
    method("query_many", query_items<BloomFilter, "query_many", &BloomFilter::query_many>,
           "query_many($self, items)\n--\n\nQuery multiple items using the optimized batch path.\n\n" VELT_BOOLEAN_ANSWERS),
    method("contains_hash", query_hash<BloomFilter, "contains_hash", &BloomFilter::contains_hash, new_bool>,
           "contains_hash($self, hash)\n--\n\nQuery a caller-provided 64-bit hash."),
    method("query_hashes", query_hashes<BloomFilter, "query_hashes", &BloomFilter::query_hashes>,
           "query_hashes($self, hashes)\n--\n\nQuery caller-provided 64-bit hashes.\n\n" VELT_BOOLEAN_ANSWERS),
    method("merge", merge_method<BloomFilter>,
           "merge($self, other)\n--\n\nMerge another Bloom filter into this one (union operation).\n\n"
           "Both filters must have the same configuration (num_bits, num_hashes, seed)."),
    method("intersection", BloomFilter_intersection,
           "intersection($self, other)\n--\n\nCompute intersection with another Bloom filter.\n\n"
           "Returns a new filter containing items that might be in both filters."),
    method("copy", copy_method<BloomFilter>, "copy($self)\n--\n\nCreate a deep copy of this Bloom filter."),
    method("clear", clear_method<BloomFilter>, "clear($self)\n--\n\nClear all items from the Bloom filter."),
    method("to_bytes", Persistence<BloomFilter>::to_bytes,
           "to_bytes($self)\n--\n\nSerialize the Bloom filter to bytes (compact binary format)."),
    static_method("from_bytes", Persistence<BloomFilter>::from_bytes,
                  "from_bytes(data)\n--\n\nDeserialize a Bloom filter from bytes."),
    method("to_json", Persistence<BloomFilter>::to_json,
           "to_json($self)\n--\n\nSerialize the Bloom filter to a JSON string."),
    static_method("from_json", Persistence<BloomFilter>::from_json,
                  "from_json(data)\n--\n\nDeserialize a Bloom filter from a JSON string."),
    method("save", Persistence<BloomFilter>::save, "save($self, path)\n--\n\nSave the Bloom filter to a file."),
    static_method("load", Persistence<BloomFilter>::load, "load(path)\n--\n\nLoad a Bloom filter from a file."),
    static_method("_magic", Persistence<BloomFilter>::magic,
                  "_magic()\n--\n\nThe four bytes that start the binary form, which name the class of a saved structure."),
    method("bit_count",
           read_only<BloomFilter, "bit_count", [](const BloomFilter& f) { return new_u64(f.bit_count()); }>,
           "bit_count($self)\n--\n\nGet the number of bits set to 1."),
    method("fill_ratio",
           read_only<BloomFilter, "fill_ratio", [](const BloomFilter& f) { return new_f64(f.fill_ratio()); }>,
           "fill_ratio($self)\n--\n\nGet the fill ratio (fraction of bits set)."),
    method("estimate_count",
           read_only<BloomFilter, "estimate_count", [](const BloomFilter& f) { return new_f64(f.estimate_count()); }>,
           "estimate_count($self)\n--\n\nEstimate the number of items in the filter based on fill ratio.\n\n"
           "This can be more accurate than `len()` after merging filters."),
    method("health", read_only<BloomFilter, "health", [](const BloomFilter& f) { return new_str(f.health()); }>,
           "health($self)\n--\n\nReturn a compact operational health signal based on observed fill."),
    method("is_saturated",
           read_only<BloomFilter, "is_saturated", [](const BloomFilter& f) { return new_bool(f.is_saturated()); }>,
           "is_saturated($self)\n--\n\nWhether the observed fill is high enough to make estimates unreliable."),
    {nullptr, nullptr, 0, nullptr},
};

// ---- Properties ------------------------------------------------------------------

PyGetSetDef BloomFilter_properties[] = {
    {"num_bits", property<BloomFilter>([](const BloomFilter& f) { return new_u64(f.num_bits()); }), nullptr,
     "Get the number of bits in the filter.", nullptr},
    {"num_hashes", property<BloomFilter>([](const BloomFilter& f) { return new_u64(f.num_hashes()); }), nullptr,
     "Get the number of hash functions used.", nullptr},
    {"size_in_bytes", property<BloomFilter>([](const BloomFilter& f) { return new_u64(f.size_in_bytes()); }), nullptr,
     "Get the memory footprint in bytes.", nullptr},
    {"false_positive_rate",
     property<BloomFilter>([](const BloomFilter& f) { return new_f64(f.false_positive_rate()); }), nullptr,
     "Get the estimated false positive rate based on the observed fill.", nullptr},
    {"seed", property<BloomFilter>([](const BloomFilter& f) { return new_u64(f.seed()); }), nullptr,
     "Get the seed used for hashing.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---- Type object ------------------------------------------------------------------

const char BloomFilter_doc[] =
    "BloomFilter(expected_items=None, false_positive_rate=0.01, num_bits=None, num_hashes=None, seed=0)\n--\n\n"
    "A space-efficient probabilistic data structure for set membership testing.\n\n"
    "Bloom filters can have false positives but never false negatives.\n"
    "This means if `contains` returns False, the item is definitely not in the set.\n"
    "If it returns True, the item is probably in the set.\n\n"
    "Example:\n"
    "    >>> bf = BloomFilter(expected_items=10000)\n"
    "    >>> bf.add(\"hello\")\n"
    "    >>> \"hello\" in bf\n"
    "    True\n"
    "    >>> \"world\" in bf\n"
    "    False";

PyType_Slot BloomFilter_slots[] = {
    {Py_tp_doc, const_cast<char*>(BloomFilter_doc)},
    {Py_tp_new, reinterpret_cast<void*>(BloomFilter_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(Object::dealloc)},
    {Py_tp_methods, BloomFilter_methods},
    {Py_tp_getset, BloomFilter_properties},
    {Py_tp_repr, reinterpret_cast<void*>(repr_slot<BloomFilter>)},
    {Py_sq_length, reinterpret_cast<void*>(length_slot<BloomFilter, &BloomFilter::count>)},
    {Py_sq_contains, reinterpret_cast<void*>(contains_slot<BloomFilter, &BloomFilter::contains>)},
    {Py_nb_inplace_or, reinterpret_cast<void*>(merge_in_place_slot<BloomFilter>)},
    {Py_nb_or, reinterpret_cast<void*>(union_slot<BloomFilter>)},
    {Py_nb_and, reinterpret_cast<void*>(intersection_slot<BloomFilter>)},
    {0, nullptr},
};

}  // namespace

void add_bloom_filter(PyObject* module) { add_class<BloomFilter>(module, BloomFilter_slots); }

}  // namespace velt::python
