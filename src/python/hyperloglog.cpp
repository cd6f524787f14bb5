// HyperLogLog: the Python class over velt::HyperLogLog.
#include "classes.hpp"
#include "hyperloglog.hpp"
#include "persistence_methods.hpp"
#include "slots.hpp"

namespace velt::python {

template <>
inline constexpr const char* class_name<HyperLogLog> = "HyperLogLog";

namespace {

using Counter = Instance<HyperLogLog>;

// ---- Construction ------------------------------------------------------------

PyObject* HyperLogLog_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    return entry_point([&] {
        static constexpr Signature<2> signature{"HyperLogLog", "__new__", {"precision", "seed"}, 0};
        const auto bound = bind(signature, args, kwargs);
        const std::uint8_t precision = bound[0] ? to_u8(bound[0], "precision") : 14;
        const std::uint64_t seed = bound[1] ? to_u64(bound[1], "seed") : 0;
        return Counter::wrap(HyperLogLog::create(precision, seed));
    });
}

// ---- Inserting -----------------------------------------------------------------

PyObject* HyperLogLog_add(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry_point([&] {
        const auto bound = bind(Signature<1>{"HyperLogLog", "add", {"item"}}, args, nargs, kwnames);
        auto counter = Counter::exclusive(self);
        const Item item(bound[0]);
        counter.core.add(item.bytes());
        return none();
    });
}

PyObject* HyperLogLog_update(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                             const char* method_name) {
    return entry_point([&] {
        const auto bound = bind(Signature<1>{"HyperLogLog", method_name, {"items"}}, args, nargs, kwnames);
        auto counter = Counter::exclusive(self);
        const ItemBatch batch(bound[0]);
        without_gil([&] { counter.core.update(batch.items()); });
        return none();
    });
}

PyObject* HyperLogLog_update_items(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return HyperLogLog_update(self, args, nargs, kwnames, "update");
}

PyObject* HyperLogLog_update_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return HyperLogLog_update(self, args, nargs, kwnames, "update_many");
}

PyObject* HyperLogLog_add_hash(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry_point([&] {
        const auto bound = bind(Signature<1>{"HyperLogLog", "add_hash", {"hash"}}, args, nargs, kwnames);
        auto counter = Counter::exclusive(self);
        counter.core.add_hash(to_u64(bound[0], "hash"));
        return none();
    });
}

PyObject* HyperLogLog_update_hashes(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry_point([&] {
        const auto bound = bind(Signature<1>{"HyperLogLog", "update_hashes", {"hashes"}}, args, nargs, kwnames);
        auto counter = Counter::exclusive(self);
        const auto hashes = to_hashes(bound[0], "hashes");
        without_gil([&] { counter.core.update_hashes(hashes); });
        return none();
    });
}

// ---- Estimating ------------------------------------------------------------------

PyObject* HyperLogLog_cardinality(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return read_method<HyperLogLog>(self, args, nargs, kwnames, "HyperLogLog", "cardinality",
                                    [](const HyperLogLog& h) { return new_f64(h.cardinality()); });
}

PyObject* HyperLogLog_query(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return read_method<HyperLogLog>(self, args, nargs, kwnames, "HyperLogLog", "query",
                                    [](const HyperLogLog& h) { return new_f64(h.cardinality()); });
}

PyObject* HyperLogLog_confidence_interval(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                          PyObject* kwnames) {
    return entry_point([&] {
        static constexpr Signature<1> signature{"HyperLogLog", "confidence_interval", {"confidence"}, 0};
        const auto bound = bind(signature, args, nargs, kwnames);
        auto counter = Counter::shared(self);
        const double confidence = bound[0] ? to_f64(bound[0], "confidence") : 0.95;
        const CardinalityInterval interval = counter.core.confidence_interval(confidence);
        Ref lower = Ref::checked(new_f64(interval.lower));
        Ref upper = Ref::checked(new_f64(interval.upper));
        return Ref::checked(PyTuple_Pack(2, lower.get(), upper.get())).release();
    });
}

PyObject* HyperLogLog_relative_error(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return read_method<HyperLogLog>(self, args, nargs, kwnames, "HyperLogLog", "relative_error",
                                    [](const HyperLogLog& h) { return new_f64(h.relative_error()); });
}

// ---- Combining -----------------------------------------------------------------

PyObject* HyperLogLog_merge(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry_point([&] {
        const auto bound = bind(Signature<1>{"HyperLogLog", "merge", {"other"}}, args, nargs, kwnames);
        auto counter = Counter::exclusive(self);
        auto other = to_other<HyperLogLog>(bound[0], "other");
        counter.core.merge(other.core);
        return none();
    });
}

PyObject* HyperLogLog_copy(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return read_method<HyperLogLog>(self, args, nargs, kwnames, "HyperLogLog", "copy",
                                    [](const HyperLogLog& h) { return Counter::wrap(HyperLogLog(h)); });
}

PyObject* HyperLogLog_clear(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry_point([&] {
        bind(Signature<0>{"HyperLogLog", "clear", {}}, args, nargs, kwnames);
        auto counter = Counter::exclusive(self);
        counter.core.clear();
        return none();
    });
}

// ---- Method table ----------------------------------------------------------------

PyMethodDef HyperLogLog_methods[] = {
    method("add", HyperLogLog_add, "add($self, item)\n--\n\nAdd an item to the HyperLogLog counter."),
    method("update", HyperLogLog_update_items,
           "update($self, items)\n--\n\nAdd multiple items to the counter, releasing the GIL while hashing."),
    method("update_many", HyperLogLog_update_many,
           "update_many($self, items)\n--\n\nAdd multiple items using the optimized batch path."),
    method("add_hash", HyperLogLog_add_hash, "add_hash($self, hash)\n--\n\nAdd a caller-provided 64-bit hash."),
    method("update_hashes", HyperLogLog_update_hashes,
           "update_hashes($self, hashes)\n--\n\nAdd caller-provided 64-bit hashes."),
    method("cardinality", HyperLogLog_cardinality,
           "cardinality($self)\n--\n\nEstimate the cardinality (number of distinct elements)."),
    method("query", HyperLogLog_query,
           "query($self)\n--\n\nQuery the estimated cardinality (alias for cardinality)."),
    method("confidence_interval", HyperLogLog_confidence_interval,
           "confidence_interval($self, confidence=0.95)\n--\n\n"
           "Approximate normal confidence interval for the cardinality estimate."),
    method("merge", HyperLogLog_merge,
           "merge($self, other)\n--\n\nMerge another HyperLogLog into this one.\n\n"
           "After merging, this counter will estimate the cardinality of the union."),
    method("copy", HyperLogLog_copy, "copy($self)\n--\n\nCreate a deep copy of this counter."),
    method("clear", HyperLogLog_clear, "clear($self)\n--\n\nClear the counter."),
    to_bytes_method<HyperLogLog>("to_bytes($self)\n--\n\nSerialize to bytes."),
    from_bytes_method<HyperLogLog>("from_bytes(data)\n--\n\nDeserialize from bytes."),
    to_json_method<HyperLogLog>("to_json($self)\n--\n\nSerialize to JSON string."),
    from_json_method<HyperLogLog>("from_json(data)\n--\n\nDeserialize from JSON string."),
    save_method<HyperLogLog>("save($self, path)\n--\n\nSave the counter to a file."),
    load_method<HyperLogLog>("load(path)\n--\n\nLoad a counter from a file."),
    method("relative_error", HyperLogLog_relative_error,
           "relative_error($self)\n--\n\nGet relative error (as a percentage)."),
    {nullptr, nullptr, 0, nullptr},
};

// ---- Properties ------------------------------------------------------------------

template <class Read>
getter property(Read) {
    return [](PyObject* self, void*) { return read_property<HyperLogLog>(self, Read{}); };
}

PyGetSetDef HyperLogLog_properties[] = {
    {"estimate", property([](const HyperLogLog& h) { return new_f64(h.cardinality()); }), nullptr,
     "Estimated cardinality as a property.", nullptr},
    {"precision", property([](const HyperLogLog& h) { return new_u64(h.precision()); }), nullptr,
     "Get the precision (number of bits for indexing).", nullptr},
    {"size_in_bytes", property([](const HyperLogLog& h) { return new_u64(h.size_in_bytes()); }), nullptr,
     "Get the memory footprint in bytes.", nullptr},
    {"seed", property([](const HyperLogLog& h) { return new_u64(h.seed()); }), nullptr, "Get the seed.", nullptr},
    {"standard_error", property([](const HyperLogLog& h) { return new_f64(h.standard_error()); }), nullptr,
     "Get the standard error of the estimate.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---- Type specification ------------------------------------------------------------

const char HyperLogLog_doc[] =
    "HyperLogLog(precision=14, seed=0)\n--\n\n"
    "A probabilistic data structure for cardinality estimation.\n\n"
    "HyperLogLog can estimate the number of distinct elements in a multiset\n"
    "using a small, fixed amount of memory. It provides ~2% typical error\n"
    "with just a few kilobytes of memory.";

PyType_Slot HyperLogLog_slots[] = {
    {Py_tp_doc, const_cast<char*>(HyperLogLog_doc)},
    {Py_tp_new, reinterpret_cast<void*>(HyperLogLog_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(Counter::dealloc)},
    {Py_tp_methods, HyperLogLog_methods},
    {Py_tp_getset, HyperLogLog_properties},
    // len() is the estimate rounded half away from zero; an infinite one overflows.
    {Py_sq_length, reinterpret_cast<void*>(length_slot<HyperLogLog, &HyperLogLog::rounded_cardinality>)},
    {Py_nb_inplace_or, reinterpret_cast<void*>(merge_in_place_slot<HyperLogLog>)},
    {Py_tp_repr, reinterpret_cast<void*>(repr_slot<HyperLogLog>)},
    {Py_tp_str, reinterpret_cast<void*>(repr_slot<HyperLogLog>)},
    {Py_nb_or, reinterpret_cast<void*>(union_slot<HyperLogLog>)},
    {0, nullptr},
};

PyType_Spec HyperLogLog_spec = {
    "velt._velt.HyperLogLog", sizeof(Counter), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, HyperLogLog_slots,
};

}  // namespace

void add_hyperloglog(PyObject* module) { add_class(module, HyperLogLog_spec, Counter::type); }

}  // namespace velt::python
