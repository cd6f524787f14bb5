// The methods most classes share, written once: inserting and querying items
// and caller-provided hashes (one at a time or as a batch), merge, copy and
// clear. A class lists them in its method table as, for example,
//
//     method("add", insert_item<BloomFilter, "add", &BloomFilter::add>, doc)
//
// naming the core type, the method's Python name (for binding messages) and
// the core member (or, for read_only, a function of the core) that does the work. Batches follow one pattern: convert
// every input with the GIL held, then call the core with it released.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <vector>

#include "python/answers.hpp"
#include "python/arguments.hpp"
#include "python/binding.hpp"
#include "python/columns.hpp"
#include "python/items.hpp"
#include "python/persistence_methods.hpp"

namespace velt::python {

// A method name usable as a template argument.
template <std::size_t N>
struct MethodName {
    char text[N]{};
    constexpr MethodName(const char (&name)[N]) { std::copy_n(name, N, text); }
};

// Calls `process` with the GIL released on the item bytes of `items`, in
// blocks: a column's as it is read, anything else's as one item batch. Every
// core batch method handles its items in order, one after another, so a run
// of blocks leaves exactly the state and answers (and stops at exactly the
// error) of one batch.
template <class Process>
void for_each_item_block(PyObject* items, Process&& process) {
    if (for_each_column_block(items, ColumnValues::items, process)) return;
    const ItemBatch batch(items);
    without_gil([&] { process(batch.items()); });
}

// Calls process(hashes) with the GIL released on the hashes of every item of
// `items`, for the cores that hash a batch first and change anything after:
// Core::ItemHash is the hash of one item, core.hash_items(items, out) makes
// them. A column goes block by block through `process_column` instead.
template <class Core, class ProcessColumn, class Process>
void with_item_hashes(const Core& core, PyObject* items, ProcessColumn&& process_column, Process&& process) {
    if (for_each_column_block(items, ColumnValues::items, process_column)) return;
    Recycled<LargeArray<typename Core::ItemHash>> hashes;
    hash_items_in_blocks(items, *hashes, [&](std::span<const std::string_view> block, typename Core::ItemHash* out) {
        core.hash_items(block, out);
    });
    without_gil([&] { process(std::span<const typename Core::ItemHash>(*hashes)); });
}

// ---- Inserting (exclusive borrow) -------------------------------------------------
// Also any other change of one item, such as a removal. The method returns None
// when the core member returns nothing, else the member's answer: a bool (was
// the item stored) or a count (how many were).

inline PyObject* change_answer(bool answer) { return new_bool(answer); }
inline PyObject* change_answer(std::uint64_t answer) { return new_u64(answer); }

// Runs `change` (with the GIL held, or inside without_gil) and makes its Python result.
template <class Change>
PyObject* change_result(Change&& change) {
    if constexpr (std::is_void_v<decltype(change())>) {
        change();
        return none();
    } else {
        return change_answer(change());
    }
}

// name(item): core.insert(item bytes).
template <class Core, MethodName name, auto insert>
PyObject* insert_item(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry_point([&] {
        const auto bound = bind(Signature<1>{class_name<Core>, name.text, {"item"}}, args, nargs, kwnames);
        auto structure = Instance<Core>::exclusive(self);
        const Item item(bound[0]);
        return change_result([&] { return (structure.core.*insert)(item.bytes()); });
    });
}

// name(items): core.insert(all item bytes), without the GIL.
template <class Core, MethodName name, auto insert>
PyObject* insert_items(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry_point([&] {
        const auto bound = bind(Signature<1>{class_name<Core>, name.text, {"items"}}, args, nargs, kwnames);
        auto structure = Instance<Core>::exclusive(self);
        using Answer = decltype((structure.core.*insert)(std::span<const std::string_view>()));
        if constexpr (std::is_void_v<Answer>) {
            for_each_item_block(bound[0], [&](auto block) { (structure.core.*insert)(block); });
            return none();
        } else {
            Answer total{};
            for_each_item_block(bound[0], [&](auto block) { total += (structure.core.*insert)(block); });
            return change_answer(total);
        }
    });
}

// name(items): core.update(all items), hashing them as they are converted (see with_item_hashes).
template <class Core, MethodName name>
PyObject* insert_hashed_items(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry_point([&] {
        const auto bound = bind(Signature<1>{class_name<Core>, name.text, {"items"}}, args, nargs, kwnames);
        auto structure = Instance<Core>::exclusive(self);
        with_item_hashes(
            structure.core, bound[0], [&](auto block) { structure.core.update(block); },
            [&](auto hashes) { structure.core.update_hashed(hashes); });
        return none();
    });
}

// name(hash): core.insert(hash).
template <class Core, MethodName name, auto insert>
PyObject* insert_hash(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry_point([&] {
        const auto bound = bind(Signature<1>{class_name<Core>, name.text, {"hash"}}, args, nargs, kwnames);
        auto structure = Instance<Core>::exclusive(self);
        const std::uint64_t hash = to_u64(bound[0], "hash");
        return change_result([&] { return (structure.core.*insert)(hash); });
    });
}

// name(hashes): core.insert(all hashes), without the GIL.
template <class Core, MethodName name, auto insert>
PyObject* insert_hashes(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry_point([&] {
        const auto bound = bind(Signature<1>{class_name<Core>, name.text, {"hashes"}}, args, nargs, kwnames);
        auto structure = Instance<Core>::exclusive(self);
        const auto hashes = to_hashes(bound[0], "hashes");
        return change_result([&] { return without_gil([&] { return (structure.core.*insert)(hashes); }); });
    });
}

// ---- Querying (shared borrow) -----------------------------------------------------
// `to_python` makes the Python value of one answer (new_bool, new_u64, ...).

// name(item): to_python(core.query(item bytes)).
template <class Core, MethodName name, auto query, auto to_python>
PyObject* query_item(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry_point([&] {
        const auto bound = bind(Signature<1>{class_name<Core>, name.text, {"item"}}, args, nargs, kwnames);
        auto structure = Instance<Core>::shared(self);
        const Item item(bound[0]);
        return to_python((std::as_const(structure.core).*query)(item.bytes()));
    });
}

// name(items): the answers core.query(all item bytes) gives without the GIL,
// as a list, or as a column when `items` is one (answers.hpp).
template <class Core, MethodName name, auto query>
PyObject* query_items(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry_point([&] {
        const auto bound = bind(Signature<1>{class_name<Core>, name.text, {"items"}}, args, nargs, kwnames);
        auto structure = Instance<Core>::shared(self);
        using Answers = decltype((std::as_const(structure.core).*query)(std::span<const std::string_view>()));
        auto answers = BatchAnswers::to<typename Answers::value_type>(bound[0]);
        for_each_item_block(bound[0], [&](auto block) { answers.append((std::as_const(structure.core).*query)(block)); });
        return answers.result();
    });
}

// name(items): core.query_many's answers, as query_items gives them, hashing
// the items as they are converted (see with_item_hashes).
template <class Core, MethodName name>
PyObject* query_hashed_items(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry_point([&] {
        const auto bound = bind(Signature<1>{class_name<Core>, name.text, {"items"}}, args, nargs, kwnames);
        auto structure = Instance<Core>::shared(self);
        const Core& core = structure.core;
        auto answers = BatchAnswers::to<std::uint8_t>(bound[0]);
        with_item_hashes(
            core, bound[0], [&](auto block) { answers.append(core.query_many(block)); },
            [&](auto hashes) { answers.append(core.query_hashed(hashes)); });
        return answers.result();
    });
}

// name(hash): to_python(core.query(hash)).
template <class Core, MethodName name, auto query, auto to_python>
PyObject* query_hash(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry_point([&] {
        const auto bound = bind(Signature<1>{class_name<Core>, name.text, {"hash"}}, args, nargs, kwnames);
        auto structure = Instance<Core>::shared(self);
        return to_python((std::as_const(structure.core).*query)(to_u64(bound[0], "hash")));
    });
}

// name(hashes): the answers core.query(all hashes) gives without the GIL, as
// a list, or as a column when `hashes` is one (answers.hpp).
template <class Core, MethodName name, auto query>
PyObject* query_hashes(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry_point([&] {
        const auto bound = bind(Signature<1>{class_name<Core>, name.text, {"hashes"}}, args, nargs, kwnames);
        auto structure = Instance<Core>::shared(self);
        const auto hashes = to_hashes(bound[0], "hashes");
        using Answers = decltype((std::as_const(structure.core).*query)(hashes));
        auto answers = BatchAnswers::to<typename Answers::value_type>(bound[0]);
        without_gil([&] { answers.append((std::as_const(structure.core).*query)(hashes)); });
        return answers.result();
    });
}

// name(): read(core) for a method without parameters that only reads the
// structure; `read` returns a new reference.
template <class Core, MethodName name, auto read>
PyObject* read_only(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry_point([&] {
        bind(Signature<0>{class_name<Core>, name.text, {}}, args, nargs, kwnames);
        auto structure = Instance<Core>::shared(self);
        return read(std::as_const(structure.core));
    });
}

// ---- Whole-structure methods ---------------------------------------------------------

// merge(other): the instance exclusively, then `other` shared (so x.merge(x) is refused).
template <class Core>
PyObject* merge_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry_point([&] {
        const auto bound = bind(Signature<1>{class_name<Core>, "merge", {"other"}}, args, nargs, kwnames);
        auto structure = Instance<Core>::exclusive(self);
        auto other = to_other<Core>(bound[0], "other");
        structure.core.merge(other.core);
        return none();
    });
}

template <class Core>
PyObject* copy_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry_point([&] {
        bind(Signature<0>{class_name<Core>, "copy", {}}, args, nargs, kwnames);
        auto structure = Instance<Core>::shared(self);
        return Instance<Core>::wrap(Core(structure.core));
    });
}

template <class Core>
PyObject* clear_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry_point([&] {
        bind(Signature<0>{class_name<Core>, "clear", {}}, args, nargs, kwnames);
        auto structure = Instance<Core>::exclusive(self);
        structure.core.clear();
        return none();
    });
}

}  // namespace velt::python
