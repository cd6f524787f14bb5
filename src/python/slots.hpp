// Generic pieces of the class files: property getters and the protocol
// slots, written once over a core type.
#pragma once

#include "python/binding.hpp"
#include "python/items.hpp"

namespace velt::python {

// A read-only property, or any slot that reads the structure.
template <class Core, class Read>
PyObject* read_property(PyObject* self, Read&& read) {
    return entry_point([&] {
        auto structure = Instance<Core>::shared(self);
        return read(std::as_const(structure.core));
    });
}

// A getter for the property table: `read` maps the core to a new reference.
template <class Core, class Read>
getter property(Read) {
    return [](PyObject* self, void*) { return read_property<Core>(self, Read{}); };
}

// repr(x) and str(x): the core's repr text.
template <class Core>
PyObject* repr_slot(PyObject* self) {
    return read_property<Core>(self, [](const Core& core) { return new_str(core.repr()); });
}

// item in x: the core's member `contains` on the item's bytes.
template <class Core, auto contains>
int contains_slot(PyObject* self, PyObject* item) {
    return entry_point([&] {
        auto structure = Instance<Core>::shared(self);
        const Item bytes(item);
        return static_cast<int>((std::as_const(structure.core).*contains)(bytes.bytes()));
    });
}

// len(x): the count given by the core's member `count`.
template <class Core, auto count>
Py_ssize_t length_slot(PyObject* self) {
    return entry_point([&] {
        auto structure = Instance<Core>::shared(self);
        return to_length((std::as_const(structure.core).*count)());
    });
}

// x |= y: merges in place. When either side cannot be taken (another type, or a
// borrow conflict such as x |= x), NotImplemented makes Python fall back to x | y.
template <class Core>
PyObject* merge_in_place_slot(PyObject* self, PyObject* other) {
    using Object = Instance<Core>;
    if (Object::check(self) && Object::is_read_only(self)) {
        // Refused, not rebound to x | y: the caller asked to change this one.
        return entry_point([&]() -> PyObject* { throw_read_only(class_name<Core>); });
    }
    if (!Object::check(self) || !Object::check(other) || self == other ||
        !can_borrow_exclusive(Object::cast(self)->borrow) || !can_borrow_shared(Object::cast(other)->borrow)) {
        return not_implemented();
    }
    return entry_point([&] {
        auto target = Object::exclusive(self);
        auto source = Object::shared(other);
        target.core.merge(source.core);
        return Py_NewRef(self);
    });
}

// x | y: a copy of x merged with y.
template <class Core>
PyObject* union_slot(PyObject* left, PyObject* right) {
    using Object = Instance<Core>;
    if (!Object::check(left) || !Object::check(right)) return not_implemented();
    return entry_point([&] {
        auto a = Object::shared(left);
        auto b = Object::shared(right);
        Core result(a.core);
        result.merge(b.core);
        return Object::wrap(std::move(result));
    });
}

// x & y: the core's intersection.
template <class Core>
PyObject* intersection_slot(PyObject* left, PyObject* right) {
    using Object = Instance<Core>;
    if (!Object::check(left) || !Object::check(right)) return not_implemented();
    return entry_point([&] {
        auto a = Object::shared(left);
        auto b = Object::shared(right);
        return Object::wrap(a.core.intersection(b.core));
    });
}

}  // namespace velt::python
