// HyperLogLog: the Python class over velt::HyperLogLog.
#include "core/hyperloglog.hpp"
#include "python/arguments.hpp"
#include "python/classes.hpp"
#include "python/methods.hpp"
#include "python/persistence_methods.hpp"
#include "python/slots.hpp"

namespace velt::python {

template <>
inline constexpr const char* class_name<HyperLogLog> = "HyperLogLog";

namespace {

using Object = Instance<HyperLogLog>;

// ---- Construction ------------------------------------------------------------

PyObject* HyperLogLog_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    return entry_point([&] {
        static constexpr Signature<2> signature{class_name<HyperLogLog>, "__new__", {"precision", "seed"}, 0};
        const auto bound = bind(signature, args, kwargs);
        const std::uint8_t precision = bound[0] ? to_u8(bound[0], "precision") : 14;
        const std::uint64_t seed = bound[1] ? to_u64(bound[1], "seed") : 0;
        return Object::wrap(HyperLogLog::create(precision, seed));
    });
}

// ---- Estimating ------------------------------------------------------------------

// name(confidence=0.95): one of the two intervals, classic or unbiased, as a pair of floats.
template <MethodName name, ConfidenceInterval (HyperLogLog::*interval)(double) const>
PyObject* interval_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry_point([&] {
        const auto bound = bind(Signature<1>{class_name<HyperLogLog>, name.text, {"confidence"}, 0}, args, nargs, kwnames);
        auto counter = Object::shared(self);
        const double confidence = bound[0] ? to_f64(bound[0], "confidence") : 0.95;
        const ConfidenceInterval result = (counter.core.*interval)(confidence);
        return new_f64_pair(result.lower, result.upper);
    });
}

// ---- Method table ----------------------------------------------------------------

PyMethodDef HyperLogLog_methods[] = {
    method("add", insert_item<HyperLogLog, "add", &HyperLogLog::add>,
           "add($self, item)\n--\n\nAdd an item to the HyperLogLog counter."),
    method("update", insert_items<HyperLogLog, "update", &HyperLogLog::update>,
           "update($self, items)\n--\n\nAdd multiple items to the counter, releasing the GIL while hashing."),
    method("update_many", insert_items<HyperLogLog, "update_many", &HyperLogLog::update>,
           "update_many($self, items)\n--\n\nAdd multiple items using the optimized batch path."),
    method("add_hash", insert_hash<HyperLogLog, "add_hash", &HyperLogLog::add_hash>,
           "add_hash($self, hash)\n--\n\nAdd a caller-provided 64-bit hash."),
    method("update_hashes", insert_hashes<HyperLogLog, "update_hashes", &HyperLogLog::update_hashes>,
           "update_hashes($self, hashes)\n--\n\nAdd caller-provided 64-bit hashes."),
    method("cardinality",
           read_only<HyperLogLog, "cardinality", [](const HyperLogLog& h) { return new_f64(h.cardinality()); }>,
           "cardinality($self)\n--\n\nEstimate the cardinality (number of distinct elements)."),
    method("query", read_only<HyperLogLog, "query", [](const HyperLogLog& h) { return new_f64(h.cardinality()); }>,
           "query($self)\n--\n\nQuery the estimated cardinality (alias for cardinality)."),
    method("confidence_interval", interval_method<"confidence_interval", &HyperLogLog::confidence_interval>,
           "confidence_interval($self, confidence=0.95)\n--\n\n"
           "Approximate normal confidence interval for the cardinality estimate."),
    method("unbiased_cardinality",
           read_only<HyperLogLog, "unbiased_cardinality",
                     [](const HyperLogLog& h) { return new_f64(h.unbiased_cardinality()); }>,
           "unbiased_cardinality($self)\n--\n\n"
           "Estimate the cardinality without the bias of the hand-over from linear counting.\n\n"
           "Ertl's improved raw estimate: one formula over the whole range, where\n"
           "cardinality() is biased upwards by up to about 2% between 2.5 and 4 times\n"
           "the register count."),
    method("unbiased_confidence_interval",
           interval_method<"unbiased_confidence_interval", &HyperLogLog::unbiased_confidence_interval>,
           "unbiased_confidence_interval($self, confidence=0.95)\n--\n\n"
           "Approximate normal confidence interval for the unbiased cardinality estimate.\n\n"
           "Its width comes from that estimate's own standard error, which is below\n"
           "standard_error while many registers are still empty."),
    method("merge", merge_method<HyperLogLog>,
           "merge($self, other)\n--\n\nMerge another HyperLogLog into this one.\n\n"
           "After merging, this counter will estimate the cardinality of the union."),
    method("copy", copy_method<HyperLogLog>, "copy($self)\n--\n\nCreate a deep copy of this counter."),
    method("clear", clear_method<HyperLogLog>, "clear($self)\n--\n\nClear the counter."),
    method("to_bytes", Persistence<HyperLogLog>::to_bytes, "to_bytes($self)\n--\n\nSerialize to bytes."),
    static_method("from_bytes", Persistence<HyperLogLog>::from_bytes,
                  "from_bytes(data)\n--\n\nDeserialize from bytes."),
    method("to_json", Persistence<HyperLogLog>::to_json, "to_json($self)\n--\n\nSerialize to JSON string."),
    static_method("from_json", Persistence<HyperLogLog>::from_json,
                  "from_json(data)\n--\n\nDeserialize from JSON string."),
    method("save", Persistence<HyperLogLog>::save, "save($self, path)\n--\n\nSave the counter to a file."),
    static_method("load", Persistence<HyperLogLog>::load, "load(path)\n--\n\nLoad a counter from a file."),
    static_method("_magic", Persistence<HyperLogLog>::magic,
                  "_magic()\n--\n\nThe four bytes that start the binary form, which name the class of a saved structure."),
    method("relative_error",
           read_only<HyperLogLog, "relative_error", [](const HyperLogLog& h) { return new_f64(h.relative_error()); }>,
           "relative_error($self)\n--\n\nGet relative error (as a percentage)."),
    {nullptr, nullptr, 0, nullptr},
};

// ---- Properties ------------------------------------------------------------------

PyGetSetDef HyperLogLog_properties[] = {
    {"estimate", property<HyperLogLog>([](const HyperLogLog& h) { return new_f64(h.cardinality()); }), nullptr,
     "Estimated cardinality as a property.", nullptr},
    {"precision", property<HyperLogLog>([](const HyperLogLog& h) { return new_u64(h.precision()); }), nullptr,
     "Get the precision (number of bits for indexing).", nullptr},
    {"size_in_bytes", property<HyperLogLog>([](const HyperLogLog& h) { return new_u64(h.size_in_bytes()); }), nullptr,
     "Get the memory footprint in bytes.", nullptr},
    {"seed", property<HyperLogLog>([](const HyperLogLog& h) { return new_u64(h.seed()); }), nullptr, "Get the seed.",
     nullptr},
    {"standard_error", property<HyperLogLog>([](const HyperLogLog& h) { return new_f64(h.standard_error()); }), nullptr,
     "Get the standard error of the estimate.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---- Type object ------------------------------------------------------------------

const char HyperLogLog_doc[] =
    "HyperLogLog(precision=14, seed=0)\n--\n\n"
    "A probabilistic data structure for cardinality estimation.\n\n"
    "HyperLogLog can estimate the number of distinct elements in a multiset\n"
    "using a small, fixed amount of memory. It provides ~2% typical error\n"
    "with just a few kilobytes of memory.";

PyType_Slot HyperLogLog_slots[] = {
    {Py_tp_doc, const_cast<char*>(HyperLogLog_doc)},
    {Py_tp_new, reinterpret_cast<void*>(HyperLogLog_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(Object::dealloc)},
    {Py_tp_methods, HyperLogLog_methods},
    {Py_tp_getset, HyperLogLog_properties},
    // len() is the estimate rounded half away from zero; an infinite one overflows.
    {Py_sq_length, reinterpret_cast<void*>(length_slot<HyperLogLog, &HyperLogLog::rounded_cardinality>)},
    {Py_nb_inplace_or, reinterpret_cast<void*>(merge_in_place_slot<HyperLogLog>)},
    {Py_tp_repr, reinterpret_cast<void*>(repr_slot<HyperLogLog>)},
    {Py_nb_or, reinterpret_cast<void*>(union_slot<HyperLogLog>)},
    {0, nullptr},
};

}  // namespace

void add_hyperloglog(PyObject* module) { add_class<HyperLogLog>(module, HyperLogLog_slots); }

}  // namespace velt::python
