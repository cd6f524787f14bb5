// ScalableBloomFilter: the Python class over velt::ScalableBloomFilter.
#include "core/scalable_bloom.hpp"
#include "python/answers.hpp"
#include "python/arguments.hpp"
#include "python/classes.hpp"
#include "python/methods.hpp"
#include "python/persistence_methods.hpp"
#include "python/slots.hpp"

namespace velt::python {

template <>
inline constexpr const char* class_name<ScalableBloomFilter> = "ScalableBloomFilter";

namespace {

using Object = Instance<ScalableBloomFilter>;
using Filter = ScalableBloomFilter;

// ---- Construction ------------------------------------------------------------

PyObject* ScalableBloomFilter_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    return entry_point([&] {
        static constexpr Signature<5> signature{
            class_name<ScalableBloomFilter>,
            "__new__",
            {"initial_capacity", "false_positive_rate", "growth_ratio", "fpr_ratio", "seed"},
            0};
        const auto bound = bind(signature, args, kwargs);
        const std::uint64_t initial_capacity = bound[0] ? to_u64(bound[0], "initial_capacity") : 1000;
        const double false_positive_rate = bound[1] ? to_f64(bound[1], "false_positive_rate") : 0.01;
        const double growth_ratio = bound[2] ? to_f64(bound[2], "growth_ratio") : 2.0;
        const double fpr_ratio = bound[3] ? to_f64(bound[3], "fpr_ratio") : 0.5;
        const std::uint64_t seed = bound[4] ? to_u64(bound[4], "seed") : 0;
        return Object::wrap(Filter::create(initial_capacity, false_positive_rate, growth_ratio, fpr_ratio, seed));
    });
}

// ---- Method table ----------------------------------------------------------------

PyMethodDef ScalableBloomFilter_methods[] = {
    method("add", insert_item<Filter, "add", &Filter::add>, "add($self, item)\n--\n\nAdd an item to the filter."),
    method("update", insert_items<Filter, "update", &Filter::update>,
           "update($self, items)\n--\n\nAdd multiple items to the filter, releasing the GIL while hashing."),
    method("update_many", insert_items<Filter, "update_many", &Filter::update>,
           "update_many($self, items)\n--\n\nAdd multiple items using the optimized batch path."),
    method("add_hash", insert_hash<Filter, "add_hash", &Filter::add_hash>,
           "add_hash($self, hash)\n--\n\nAdd a caller-provided 64-bit hash."),
    method("update_hashes", insert_hashes<Filter, "update_hashes", &Filter::update_hashes>,
           "update_hashes($self, hashes)\n--\n\nAdd caller-provided 64-bit hashes."),
    method("contains", query_item<Filter, "contains", &Filter::contains, new_bool>,
           "contains($self, item)\n--\n\nCheck if an item might be in the filter."),
    method("query", query_item<Filter, "query", &Filter::contains, new_bool>,
           "query($self, item)\n--\n\nCheck if an item might be in the filter (alias for contains)."),
    method("query_many", query_items<Filter, "query_many", &Filter::query_many>,
           "query_many($self, items)\n--\n\nQuery multiple items using the optimized batch path.\n\n" VELT_BOOLEAN_ANSWERS),
    method("contains_hash", query_hash<Filter, "contains_hash", &Filter::contains_hash, new_bool>,
           "contains_hash($self, hash)\n--\n\nQuery a caller-provided 64-bit hash."),
    method("query_hashes", query_hashes<Filter, "query_hashes", &Filter::query_hashes>,
           "query_hashes($self, hashes)\n--\n\nQuery caller-provided 64-bit hashes.\n\n" VELT_BOOLEAN_ANSWERS),
    method("copy", copy_method<Filter>, "copy($self)\n--\n\nCreate a deep copy."),
    method("clear", clear_method<Filter>, "clear($self)\n--\n\nClear all items."),
    method("to_bytes", Persistence<Filter>::to_bytes, "to_bytes($self)\n--\n\nSerialize to bytes."),
    static_method("from_bytes", Persistence<Filter>::from_bytes, "from_bytes(data)\n--\n\nDeserialize from bytes."),
    method("to_json", Persistence<Filter>::to_json, "to_json($self)\n--\n\nSerialize to a JSON string."),
    static_method("from_json", Persistence<Filter>::from_json,
                  "from_json(data)\n--\n\nDeserialize from a JSON string."),
    method("save", Persistence<Filter>::save, "save($self, path)\n--\n\nSave to a file."),
    static_method("load", Persistence<Filter>::load, "load(path)\n--\n\nLoad from a file."),
    static_method("_magic", Persistence<Filter>::magic,
                  "_magic()\n--\n\nThe four bytes that start the binary form, which name the class of a saved structure."),
    method("capacity", read_only<Filter, "capacity", [](const Filter& f) { return new_u64(f.capacity()); }>,
           "capacity($self)\n--\n\nCurrent total capacity across all slices."),
    method("false_positive_rate",
           read_only<Filter, "false_positive_rate", [](const Filter& f) { return new_f64(f.false_positive_rate()); }>,
           "false_positive_rate($self)\n--\n\nDesign false-positive rate across the currently allocated slices."),
    method("health", read_only<Filter, "health", [](const Filter& f) { return new_str(f.health()); }>,
           "health($self)\n--\n\nReturn a compact operational health signal."),
    {nullptr, nullptr, 0, nullptr},
};

// ---- Properties ------------------------------------------------------------------

PyGetSetDef ScalableBloomFilter_properties[] = {
    {"num_slices", property<Filter>([](const Filter& f) { return new_u64(f.num_slices()); }), nullptr,
     "Number of filter slices.", nullptr},
    {"num_filters", property<Filter>([](const Filter& f) { return new_u64(f.num_slices()); }), nullptr,
     "Backward-compatible alias for num_slices.", nullptr},
    {"size_in_bytes", property<Filter>([](const Filter& f) { return new_u64(f.size_in_bytes()); }), nullptr,
     "Total memory footprint in bytes.", nullptr},
    {"seed", property<Filter>([](const Filter& f) { return new_u64(f.seed()); }), nullptr, "Get the seed.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---- Type object ------------------------------------------------------------------

const char ScalableBloomFilter_doc[] =
    "ScalableBloomFilter(initial_capacity=1000, false_positive_rate=0.01, growth_ratio=2.0, fpr_ratio=0.5, seed=0)"
    "\n--\n\n"
    "A Bloom filter that automatically scales to accommodate more items.\n\n"
    "Unlike a standard Bloom filter, a Scalable Bloom Filter grows dynamically\n"
    "by adding new filter slices when the current one fills up. This allows\n"
    "it to handle an unknown number of items while maintaining the target\n"
    "false positive rate.\n\n"
    "Example:\n"
    "    >>> sbf = ScalableBloomFilter(initial_capacity=1000)\n"
    "    >>> for i in range(100000):  # Much more than initial capacity\n"
    "    ...     sbf.add(f\"item_{i}\")\n"
    "    >>> \"item_500\" in sbf\n"
    "    True";

PyType_Slot ScalableBloomFilter_slots[] = {
    {Py_tp_doc, const_cast<char*>(ScalableBloomFilter_doc)},
    {Py_tp_new, reinterpret_cast<void*>(ScalableBloomFilter_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(Object::dealloc)},
    {Py_tp_methods, ScalableBloomFilter_methods},
    {Py_tp_getset, ScalableBloomFilter_properties},
    {Py_tp_repr, reinterpret_cast<void*>(repr_slot<Filter>)},
    {Py_sq_length, reinterpret_cast<void*>(length_slot<Filter, &Filter::count>)},
    {Py_sq_contains, reinterpret_cast<void*>(contains_slot<Filter, &Filter::contains>)},
    {0, nullptr},
};

}  // namespace

void add_scalable_bloom_filter(PyObject* module) { add_class<ScalableBloomFilter>(module, ScalableBloomFilter_slots); }

}  // namespace velt::python
