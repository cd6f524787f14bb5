// CountingBloomFilter: the Python class over velt::CountingBloomFilter.
#include "core/counting_bloom.hpp"
#include "python/answers.hpp"
#include "python/arguments.hpp"
#include "python/classes.hpp"
#include "python/methods.hpp"
#include "python/persistence_methods.hpp"
#include "python/slots.hpp"

namespace velt::python {

template <>
inline constexpr const char* class_name<CountingBloomFilter> = "CountingBloomFilter";

namespace {

using Object = Instance<CountingBloomFilter>;

// ---- Construction ------------------------------------------------------------

PyObject* CountingBloomFilter_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    return entry_point([&] {
        static constexpr Signature<5> signature{
            class_name<CountingBloomFilter>,
            "__new__",
            {"expected_items", "false_positive_rate", "num_counters", "num_hashes", "seed"},
            0};
        const auto bound = bind(signature, args, kwargs);
        const auto expected_items = to_optional_u64(bound[0], "expected_items");
        const double false_positive_rate = bound[1] ? to_f64(bound[1], "false_positive_rate") : 0.01;
        const auto num_counters = to_optional_u64(bound[2], "num_counters");
        const auto num_hashes = to_optional_u32(bound[3], "num_hashes");
        const std::uint64_t seed = bound[4] ? to_u64(bound[4], "seed") : 0;
        return Object::wrap(
            CountingBloomFilter::create(expected_items, false_positive_rate, num_counters, num_hashes, seed));
    });
}

// ---- Method table ----------------------------------------------------------------

PyMethodDef CountingBloomFilter_methods[] = {
    method("add", insert_item<CountingBloomFilter, "add", &CountingBloomFilter::add>,
           "add($self, item)\n--\n\nAdd an item to the filter."),
    method("update", insert_items<CountingBloomFilter, "update", &CountingBloomFilter::update>,
           "update($self, items)\n--\n\nAdd multiple items to the filter, releasing the GIL while hashing."),
    method("update_many", insert_items<CountingBloomFilter, "update_many", &CountingBloomFilter::update>,
           "update_many($self, items)\n--\n\nAdd multiple items using the optimized batch path."),
    method("add_hash", insert_hash<CountingBloomFilter, "add_hash", &CountingBloomFilter::add_hash>,
           "add_hash($self, hash)\n--\n\nAdd a caller-provided 64-bit hash."),
    method("update_hashes", insert_hashes<CountingBloomFilter, "update_hashes", &CountingBloomFilter::update_hashes>,
           "update_hashes($self, hashes)\n--\n\nAdd caller-provided 64-bit hashes."),
    // A removal changes the filter like an insertion does: exclusive borrow, bool answer.
    method("remove", insert_item<CountingBloomFilter, "remove", &CountingBloomFilter::remove>,
           "remove($self, item)\n--\n\nRemove one occurrence of an item previously added to the filter.\n\n"
           "Calling remove for an item that was not actually added can create false\n"
           "negatives, because a positive membership result may be a false positive."),
    method("contains", query_item<CountingBloomFilter, "contains", &CountingBloomFilter::contains, new_bool>,
           "contains($self, item)\n--\n\nCheck if an item might be in the filter."),
    method("query", query_item<CountingBloomFilter, "query", &CountingBloomFilter::contains, new_bool>,
           "query($self, item)\n--\n\nCheck if an item might be in the filter (alias for contains)."),
    method("query_many", query_items<CountingBloomFilter, "query_many", &CountingBloomFilter::query_many>,
           "query_many($self, items)\n--\n\nQuery multiple items using the optimized batch path.\n\n" VELT_BOOLEAN_ANSWERS),
    method("contains_hash",
           query_hash<CountingBloomFilter, "contains_hash", &CountingBloomFilter::contains_hash, new_bool>,
           "contains_hash($self, hash)\n--\n\nQuery a caller-provided 64-bit hash."),
    method("query_hashes",
           query_hashes<CountingBloomFilter, "query_hashes", &CountingBloomFilter::query_hashes>,
           "query_hashes($self, hashes)\n--\n\nQuery caller-provided 64-bit hashes.\n\n" VELT_BOOLEAN_ANSWERS),
    method("merge", merge_method<CountingBloomFilter>,
           "merge($self, other)\n--\n\nMerge another Counting Bloom filter into this one."),
    method("copy", copy_method<CountingBloomFilter>, "copy($self)\n--\n\nCreate a deep copy of this filter."),
    method("clear", clear_method<CountingBloomFilter>, "clear($self)\n--\n\nClear all items from the filter."),
    method("to_bytes", Persistence<CountingBloomFilter>::to_bytes,
           "to_bytes($self)\n--\n\nSerialize the filter to bytes."),
    static_method("from_bytes", Persistence<CountingBloomFilter>::from_bytes,
                  "from_bytes(data)\n--\n\nDeserialize a filter from bytes."),
    method("to_json", Persistence<CountingBloomFilter>::to_json, "to_json($self)\n--\n\nSerialize to JSON string."),
    static_method("from_json", Persistence<CountingBloomFilter>::from_json,
                  "from_json(data)\n--\n\nDeserialize from JSON string."),
    method("save", Persistence<CountingBloomFilter>::save, "save($self, path)\n--\n\nSave to a file."),
    static_method("load", Persistence<CountingBloomFilter>::load, "load(path)\n--\n\nLoad from a file."),
    static_method("_magic", Persistence<CountingBloomFilter>::magic,
                  "_magic()\n--\n\nThe four bytes that start the binary form, which name the class of a saved structure."),
    method("count", query_item<CountingBloomFilter, "count", &CountingBloomFilter::smallest_counter, new_u64>,
           "count($self, item)\n--\n\nReturn the minimum backing counter for an item."),
    method("fill_ratio",
           read_only<CountingBloomFilter, "fill_ratio",
                     [](const CountingBloomFilter& f) { return new_f64(f.fill_ratio()); }>,
           "fill_ratio($self)\n--\n\nFraction of counters that are non-zero."),
    method("health",
           read_only<CountingBloomFilter, "health", [](const CountingBloomFilter& f) { return new_str(f.health()); }>,
           "health($self)\n--\n\nReturn a compact operational health signal based on counter occupancy."),
    {nullptr, nullptr, 0, nullptr},
};

// ---- Properties ------------------------------------------------------------------

PyGetSetDef CountingBloomFilter_properties[] = {
    {"num_counters", property<CountingBloomFilter>([](const CountingBloomFilter& f) { return new_u64(f.num_counters()); }),
     nullptr, "Get the number of counters in the filter.", nullptr},
    {"num_hashes", property<CountingBloomFilter>([](const CountingBloomFilter& f) { return new_u64(f.num_hashes()); }),
     nullptr, "Get the number of hash functions used.", nullptr},
    {"size_in_bytes",
     property<CountingBloomFilter>([](const CountingBloomFilter& f) { return new_u64(f.size_in_bytes()); }), nullptr,
     "Get the memory footprint in bytes (one byte per counter).", nullptr},
    {"seed", property<CountingBloomFilter>([](const CountingBloomFilter& f) { return new_u64(f.seed()); }), nullptr,
     "Get the seed used for hashing.", nullptr},
    {"false_positive_rate",
     property<CountingBloomFilter>([](const CountingBloomFilter& f) { return new_f64(f.false_positive_rate()); }),
     nullptr, "Estimated false-positive rate based on the observed fill.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---- Type object ------------------------------------------------------------------

const char CountingBloomFilter_doc[] =
    "CountingBloomFilter(expected_items=None, false_positive_rate=0.01, num_counters=None, num_hashes=None, "
    "seed=0)\n--\n\n"
    "A Bloom filter variant that supports deletion by using counters instead of bits.\n\n"
    "Each position uses a counter (8 bits). This allows items to be removed from\n"
    "the filter, but uses more memory than a standard Bloom filter.";

// No merge operators, equality, iteration or subscripting: merging goes
// through merge(), which may refuse with OverflowError.
PyType_Slot CountingBloomFilter_slots[] = {
    {Py_tp_doc, const_cast<char*>(CountingBloomFilter_doc)},
    {Py_tp_new, reinterpret_cast<void*>(CountingBloomFilter_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(Object::dealloc)},
    {Py_tp_methods, CountingBloomFilter_methods},
    {Py_tp_getset, CountingBloomFilter_properties},
    {Py_tp_repr, reinterpret_cast<void*>(repr_slot<CountingBloomFilter>)},
    {Py_sq_length, reinterpret_cast<void*>(length_slot<CountingBloomFilter, &CountingBloomFilter::count>)},
    {Py_sq_contains, reinterpret_cast<void*>(contains_slot<CountingBloomFilter, &CountingBloomFilter::contains>)},
    {0, nullptr},
};

}  // namespace

void add_counting_bloom_filter(PyObject* module) { add_class<CountingBloomFilter>(module, CountingBloomFilter_slots); }

}  // namespace velt::python
