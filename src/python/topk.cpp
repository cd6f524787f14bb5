// TopK: the Python class over velt::TopK.
//
// Items here are texts, not hashed item bytes: every `item` must be a str and
// every `items` a sequence of str or a text column (see to_utf8, TextBatch and
// for_each_column_block). Nothing falls back to str(item), so b"x" and "x" can
// never be confused in the counts.
#include "core/topk.hpp"
#include "python/answers.hpp"
#include "python/arguments.hpp"
#include "python/classes.hpp"
#include "python/columns.hpp"
#include "python/methods.hpp"
#include "python/persistence_methods.hpp"
#include "python/slots.hpp"

namespace velt::python {

template <>
inline constexpr const char* class_name<TopK> = "TopK";

namespace {

using Object = Instance<TopK>;

// Calls `process` with the GIL released on the texts of `items`, a sequence
// of str or a text column (every value checked before any is processed).
template <class Process>
void for_each_text_block(PyObject* items, Process&& process) {
    if (for_each_column_block(items, ColumnValues::texts, process)) return;
    const TextBatch batch(items, "items");
    without_gil([&] { process(batch.texts()); });
}

// ---- Construction ------------------------------------------------------------

PyObject* TopK_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    return entry_point([&] {
        const auto bound = bind(Signature<1>{class_name<TopK>, "__new__", {"k"}}, args, kwargs);
        return Object::wrap(TopK(to_u64(bound[0], "k")));
    });
}

// ---- Adding --------------------------------------------------------------------

// add(item, count=1) and add_count(item, count) differ only in whether count is required.
template <MethodName name, std::size_t required>
PyObject* TopK_add(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry_point([&] {
        const auto bound = bind(Signature<2>{class_name<TopK>, name.text, {"item", "count"}, required}, args, nargs,
                                kwnames);
        auto tracker = Object::exclusive(self);
        const std::string_view item = to_utf8(bound[0], "item");
        const std::uint64_t count = bound[1] ? to_u64(bound[1], "count") : 1;
        tracker.core.add(item, count);
        return none();
    });
}

template <MethodName name>
PyObject* TopK_update(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry_point([&] {
        const auto bound = bind(Signature<1>{class_name<TopK>, name.text, {"items"}}, args, nargs, kwnames);
        auto tracker = Object::exclusive(self);
        for_each_text_block(bound[0], [&](auto texts) { tracker.core.update(texts); });
        return none();
    });
}

// ---- Querying ------------------------------------------------------------------

template <MethodName name>
PyObject* TopK_query(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry_point([&] {
        const auto bound = bind(Signature<1>{class_name<TopK>, name.text, {"item"}}, args, nargs, kwnames);
        auto tracker = Object::shared(self);
        return new_u64(tracker.core.query(to_utf8(bound[0], "item")));
    });
}

PyObject* TopK_query_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry_point([&] {
        const auto bound = bind(Signature<1>{class_name<TopK>, "query_many", {"items"}}, args, nargs, kwnames);
        auto tracker = Object::shared(self);
        auto counts = BatchAnswers::to<std::uint64_t>(bound[0]);
        for_each_text_block(bound[0], [&](auto texts) { counts.append(tracker.core.query_many(texts)); });
        return counts.result();
    });
}

PyObject* TopK_contains(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry_point([&] {
        const auto bound = bind(Signature<1>{class_name<TopK>, "contains", {"item"}}, args, nargs, kwnames);
        auto tracker = Object::shared(self);
        return new_bool(tracker.core.contains(to_utf8(bound[0], "item")));
    });
}

// top(n=None) and top_with_error(n=None): the first n counters (all of them
// when n is absent), each made a tuple by `make`.
template <MethodName name, auto make>
PyObject* TopK_top(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry_point([&] {
        const auto bound = bind(Signature<1>{class_name<TopK>, name.text, {"n"}, 0}, args, nargs, kwnames);
        auto tracker = Object::shared(self);
        const std::optional<std::uint64_t> n = to_optional_u64(bound[0], "n");
        return new_list(n ? tracker.core.top(*n) : tracker.core.top(), make);
    });
}

PyObject* new_item_count(const TopKCounter& counter) {
    return Py_BuildValue("(NK)", new_str(counter.item), static_cast<unsigned long long>(counter.count));
}

PyObject* new_item_count_error(const TopKCounter& counter) {
    return Py_BuildValue("(NKK)", new_str(counter.item), static_cast<unsigned long long>(counter.count),
                         static_cast<unsigned long long>(counter.error));
}

// ---- Method table ----------------------------------------------------------------

PyMethodDef TopK_methods[] = {
    method("add", TopK_add<"add", 1>, "add($self, item, count=1)\n--\n\nAdd an item to the tracker."),
    method("add_count", TopK_add<"add_count", 2>, "add_count($self, item, count)\n--\n\nAdd an item with a specific count."),
    method("update", TopK_update<"update">,
           "update($self, items)\n--\n\nAdd multiple items, releasing the GIL while updating counters."),
    method("update_many", TopK_update<"update_many">,
           "update_many($self, items)\n--\n\nAdd multiple items using the optimized batch path."),
    method("query", TopK_query<"query">,
           "query($self, item)\n--\n\nQuery the estimated count of an item.\n\n"
           "Returns 0 if the item is not being tracked."),
    method("count", TopK_query<"count">, "count($self, item)\n--\n\nGet the count of an item (alias for query)."),
    method("query_many", TopK_query_many,
           "query_many($self, items)\n--\n\nQuery multiple item counts using the optimized batch path.\n\n" VELT_COUNT_ANSWERS),
    method("contains", TopK_contains, "contains($self, item)\n--\n\nCheck if an item is being tracked."),
    method("top", TopK_top<"top", new_item_count>,
           "top($self, n=None)\n--\n\nGet the top-k items with their counts.\n\n"
           "Returns a list of (item, count) tuples sorted by count (descending)."),
    method("top_with_error", TopK_top<"top_with_error", new_item_count_error>,
           "top_with_error($self, n=None)\n--\n\nGet the top-k items with their counts and error bounds.\n\n"
           "Returns a list of (item, count, error) tuples.\nTrue count is in range [count - error, count]."),
    method("min_count", read_only<TopK, "min_count", [](const TopK& t) { return new_u64(t.min_count()); }>,
           "min_count($self)\n--\n\nGet the minimum count among tracked items."),
    method("merge", merge_method<TopK>, "merge($self, other)\n--\n\nMerge another TopK into this one."),
    method("copy", copy_method<TopK>, "copy($self)\n--\n\nCreate a deep copy."),
    method("clear", clear_method<TopK>, "clear($self)\n--\n\nClear the tracker."),
    method("to_bytes", Persistence<TopK>::to_bytes, "to_bytes($self)\n--\n\nSerialize to bytes."),
    static_method("from_bytes", Persistence<TopK>::from_bytes, "from_bytes(data)\n--\n\nDeserialize from bytes."),
    method("to_json", Persistence<TopK>::to_json, "to_json($self)\n--\n\nSerialize to JSON string."),
    static_method("from_json", Persistence<TopK>::from_json, "from_json(data)\n--\n\nDeserialize from JSON string."),
    method("save", Persistence<TopK>::save, "save($self, path)\n--\n\nSave the tracker to a file."),
    static_method("load", Persistence<TopK>::load, "load(path)\n--\n\nLoad a tracker from a file."),
    static_method("_magic", Persistence<TopK>::magic,
                  "_magic()\n--\n\nThe four bytes that start the binary form, which name the class of a saved structure."),
    {nullptr, nullptr, 0, nullptr},
};

// ---- Properties ------------------------------------------------------------------

PyGetSetDef TopK_properties[] = {
    {"k", property<TopK>([](const TopK& t) { return new_u64(t.k()); }), nullptr, "Maximum number of items to track.",
     nullptr},
    {"size_in_bytes", property<TopK>([](const TopK& t) { return new_u64(t.size_in_bytes()); }), nullptr,
     "Memory footprint in bytes (approximate).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---- Protocol slots --------------------------------------------------------------

int TopK_contains_slot(PyObject* self, PyObject* item) {
    return entry_point([&] {
        auto tracker = Object::shared(self);
        return static_cast<int>(tracker.core.contains(to_utf8(item, "item")));
    });
}

PyObject* TopK_subscript(PyObject* self, PyObject* item) {
    return entry_point([&] {
        auto tracker = Object::shared(self);
        return new_u64(tracker.core.query(to_utf8(item, "item")));
    });
}

// Iterating a class without __iter__ falls back to subscripting with 0, 1, ...:
// the integer 0 is no item, so iteration fails at once with the subscript's TypeError.
PyObject* TopK_subscript_position(PyObject* self, Py_ssize_t position) {
    Ref key(PyLong_FromSsize_t(position));
    return key ? TopK_subscript(self, key.get()) : nullptr;
}

// ---- Type object ------------------------------------------------------------------

const char TopK_doc[] =
    "TopK(k)\n--\n\n"
    "A probabilistic data structure for finding the most frequent items in a stream.\n\n"
    "This implements the Space-Saving algorithm, which maintains a fixed-size\n"
    "list of items and their approximate frequencies. It guarantees that all\n"
    "items with frequency >= n/k are tracked (where n is total count).";

PyType_Slot TopK_slots[] = {
    {Py_tp_doc, const_cast<char*>(TopK_doc)},
    {Py_tp_new, reinterpret_cast<void*>(TopK_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(Object::dealloc)},
    {Py_tp_methods, TopK_methods},
    {Py_tp_getset, TopK_properties},
    {Py_tp_repr, reinterpret_cast<void*>(repr_slot<TopK>)},
    {Py_sq_length, reinterpret_cast<void*>(length_slot<TopK, &TopK::tracked>)},
    {Py_sq_contains, reinterpret_cast<void*>(TopK_contains_slot)},
    {Py_sq_item, reinterpret_cast<void*>(TopK_subscript_position)},
    {Py_mp_subscript, reinterpret_cast<void*>(TopK_subscript)},
    {0, nullptr},
};

}  // namespace

void add_topk(PyObject* module) { add_class<TopK>(module, TopK_slots); }

}  // namespace velt::python
