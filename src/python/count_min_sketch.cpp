// CountMinSketch: the Python class over velt::CountMinSketch.
#include "core/count_min_sketch.hpp"
#include "python/answers.hpp"
#include "python/arguments.hpp"
#include "python/classes.hpp"
#include "python/methods.hpp"
#include "python/persistence_methods.hpp"
#include "python/slots.hpp"

namespace velt::python {

template <>
inline constexpr const char* class_name<CountMinSketch> = "CountMinSketch";

namespace {

using Object = Instance<CountMinSketch>;

// ---- Construction ------------------------------------------------------------

PyObject* CountMinSketch_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    return entry_point([&] {
        static constexpr Signature<5> signature{
            class_name<CountMinSketch>, "__new__", {"width", "depth", "error_rate", "confidence", "seed"}, 0};
        const auto bound = bind(signature, args, kwargs);
        const auto width = to_optional_u64(bound[0], "width");
        const auto depth = to_optional_u64(bound[1], "depth");
        const auto error_rate = to_optional_f64(bound[2], "error_rate");
        const auto confidence = to_optional_f64(bound[3], "confidence");
        const std::uint64_t seed = bound[4] ? to_u64(bound[4], "seed") : 0;
        return Object::wrap(CountMinSketch::create(width, depth, error_rate, confidence, seed));
    });
}

// ---- Adding --------------------------------------------------------------------

// add(item, count=1) and add_count(item, count): `count` is converted before the item.
template <MethodName name, std::size_t required>
PyObject* CountMinSketch_add(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry_point([&] {
        const auto bound = bind(Signature<2>{class_name<CountMinSketch>, name.text, {"item", "count"}, required}, args,
                                nargs, kwnames);
        auto sketch = Object::exclusive(self);
        const std::uint64_t count = bound[1] ? to_u64(bound[1], "count") : 1;
        const Item item(bound[0]);
        sketch.core.add(item.bytes(), count);
        return none();
    });
}

PyObject* CountMinSketch_add_hash(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry_point([&] {
        const auto bound = bind(Signature<2>{class_name<CountMinSketch>, "add_hash", {"hash", "count"}, 1}, args, nargs, kwnames);
        auto sketch = Object::exclusive(self);
        const std::uint64_t hash = to_u64(bound[0], "hash");
        const std::uint64_t count = bound[1] ? to_u64(bound[1], "count") : 1;
        sketch.core.add_hash(hash, count);
        return none();
    });
}

// ---- Combining -----------------------------------------------------------------

PyObject* CountMinSketch_inner_product(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry_point([&] {
        const auto bound = bind(Signature<1>{class_name<CountMinSketch>, "inner_product", {"other"}}, args, nargs, kwnames);
        auto sketch = Object::shared(self);
        auto other = to_other<CountMinSketch>(bound[0], "other");
        return new_u64(sketch.core.inner_product(other.core));
    });
}

// ---- Method table ----------------------------------------------------------------

PyMethodDef CountMinSketch_methods[] = {
    method("add", CountMinSketch_add<"add", 1>, "add($self, item, count=1)\n--\n\nAdd an item to the sketch."),
    method("add_count", CountMinSketch_add<"add_count", 2>,
           "add_count($self, item, count)\n--\n\nAdd an item with a specific count."),
    method("update", insert_items<CountMinSketch, "update", &CountMinSketch::update>,
           "update($self, items)\n--\n\nAdd multiple items to the sketch, releasing the GIL while hashing."),
    method("update_many", insert_items<CountMinSketch, "update_many", &CountMinSketch::update>,
           "update_many($self, items)\n--\n\nAdd multiple items using the optimized batch path."),
    method("add_hash", CountMinSketch_add_hash,
           "add_hash($self, hash, count=1)\n--\n\nAdd a caller-provided 64-bit hash."),
    method("update_hashes", insert_hashes<CountMinSketch, "update_hashes", &CountMinSketch::update_hashes>,
           "update_hashes($self, hashes)\n--\n\nAdd caller-provided 64-bit hashes."),
    method("query", query_item<CountMinSketch, "query", &CountMinSketch::query, new_u64>,
           "query($self, item)\n--\n\nQuery the estimated frequency of an item."),
    method("count", query_item<CountMinSketch, "count", &CountMinSketch::query, new_u64>,
           "count($self, item)\n--\n\nGet estimated frequency (alias for query)."),
    method("query_many", query_items<CountMinSketch, "query_many", &CountMinSketch::query_many>,
           "query_many($self, items)\n--\n\nQuery multiple items using the optimized batch path.\n\n" VELT_COUNT_ANSWERS),
    method("query_hash", query_hash<CountMinSketch, "query_hash", &CountMinSketch::query_hash, new_u64>,
           "query_hash($self, hash)\n--\n\nQuery a caller-provided 64-bit hash."),
    method("query_hashes", query_hashes<CountMinSketch, "query_hashes", &CountMinSketch::query_hashes>,
           "query_hashes($self, hashes)\n--\n\nQuery caller-provided 64-bit hashes.\n\n" VELT_COUNT_ANSWERS),
    method("merge", merge_method<CountMinSketch>,
           "merge($self, other)\n--\n\nMerge another Count-Min Sketch into this one."),
    method("copy", copy_method<CountMinSketch>, "copy($self)\n--\n\nCreate a deep copy of this sketch."),
    method("clear", clear_method<CountMinSketch>, "clear($self)\n--\n\nClear the sketch."),
    method("to_bytes", Persistence<CountMinSketch>::to_bytes, "to_bytes($self)\n--\n\nSerialize to bytes."),
    static_method("from_bytes", Persistence<CountMinSketch>::from_bytes,
                  "from_bytes(data)\n--\n\nDeserialize from bytes."),
    method("to_json", Persistence<CountMinSketch>::to_json, "to_json($self)\n--\n\nSerialize to JSON string."),
    static_method("from_json", Persistence<CountMinSketch>::from_json,
                  "from_json(data)\n--\n\nDeserialize from JSON string."),
    method("save", Persistence<CountMinSketch>::save, "save($self, path)\n--\n\nSave the sketch to a file."),
    static_method("load", Persistence<CountMinSketch>::load, "load(path)\n--\n\nLoad a sketch from a file."),
    static_method("_magic", Persistence<CountMinSketch>::magic,
                  "_magic()\n--\n\nThe four bytes that start the binary form, which name the class of a saved structure."),
    method("error_rate",
           read_only<CountMinSketch, "error_rate", [](const CountMinSketch& s) { return new_f64(s.error_rate()); }>,
           "error_rate($self)\n--\n\nGet the error rate (epsilon)."),
    method("confidence",
           read_only<CountMinSketch, "confidence", [](const CountMinSketch& s) { return new_f64(s.confidence()); }>,
           "confidence($self)\n--\n\nGet the confidence level (1 - delta)."),
    method("error_bound",
           read_only<CountMinSketch, "error_bound", [](const CountMinSketch& s) { return new_u64(s.error_bound()); }>,
           "error_bound($self)\n--\n\nMaximum additive error under the sketch's configured guarantee."),
    method("inner_product", CountMinSketch_inner_product,
           "inner_product($self, other)\n--\n\nEstimate the inner product with another sketch."),
    {nullptr, nullptr, 0, nullptr},
};

// ---- Properties ------------------------------------------------------------------

PyGetSetDef CountMinSketch_properties[] = {
    {"width", property<CountMinSketch>([](const CountMinSketch& s) { return new_u64(s.width()); }), nullptr,
     "Get the width (number of counters per row).", nullptr},
    {"depth", property<CountMinSketch>([](const CountMinSketch& s) { return new_u64(s.depth()); }), nullptr,
     "Get the depth (number of rows/hash functions).", nullptr},
    {"size_in_bytes", property<CountMinSketch>([](const CountMinSketch& s) { return new_u64(s.size_in_bytes()); }),
     nullptr, "Get the memory footprint in bytes.", nullptr},
    {"seed", property<CountMinSketch>([](const CountMinSketch& s) { return new_u64(s.seed()); }), nullptr,
     "Get the seed.", nullptr},
    {"total_count", property<CountMinSketch>([](const CountMinSketch& s) { return new_u64(s.total_count()); }), nullptr,
     "Get the total count of all items.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---- Protocol slots --------------------------------------------------------------

// sketch[item] is query(item). Subscripting answers every key, so the class
// defines neither `in` nor iteration, and no sequence slot that would let the
// interpreter fall back to subscripting 0, 1, 2, ... for them: both raise TypeError.
PyObject* CountMinSketch_subscript(PyObject* self, PyObject* key) {
    return entry_point([&] {
        auto sketch = Object::shared(self);
        const Item item(key);
        return new_u64(sketch.core.query(item.bytes()));
    });
}

// ---- Type object ------------------------------------------------------------------

const char CountMinSketch_doc[] =
    "CountMinSketch(width=None, depth=None, error_rate=None, confidence=None, seed=0)\n--\n\n"
    "A probabilistic data structure for frequency estimation in data streams.\n\n"
    "Count-Min Sketch provides approximate frequency counts for items with\n"
    "guaranteed error bounds. It may overestimate counts but never underestimates.";

PyType_Slot CountMinSketch_slots[] = {
    {Py_tp_doc, const_cast<char*>(CountMinSketch_doc)},
    {Py_tp_new, reinterpret_cast<void*>(CountMinSketch_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(Object::dealloc)},
    {Py_tp_methods, CountMinSketch_methods},
    {Py_tp_getset, CountMinSketch_properties},
    {Py_tp_repr, reinterpret_cast<void*>(repr_slot<CountMinSketch>)},
    {Py_mp_length, reinterpret_cast<void*>(length_slot<CountMinSketch, &CountMinSketch::total_count>)},
    {Py_mp_subscript, reinterpret_cast<void*>(CountMinSketch_subscript)},
    {0, nullptr},
};

}  // namespace

void add_count_min_sketch(PyObject* module) { add_class<CountMinSketch>(module, CountMinSketch_slots); }

}  // namespace velt::python
