// Columns as items: Arrow arrays and streams (through the PyCapsule interface)
// and one-dimensional buffers (numpy arrays, array.array, bytes, memoryview)
// read a block at a time, with no Python object per value. A column gives
// exactly the item bytes that iterating it gives; a column of any other type
// is not read here, and its caller iterates it instead.
#pragma once

#include "python/binding.hpp"

#include <functional>
#include <span>
#include <string_view>

namespace velt::python {

// What the values must be: any item, or text only (as TopK takes: a column of
// another type is iterated, and a null raises the TypeError a None does).
enum class ColumnValues { items, texts };

using ColumnBlock = std::function<void(std::span<const std::string_view>)>;

// When `object` is a column of a type read here, calls `process` with the GIL
// released on each block of its item bytes in order, and returns true;
// otherwise calls nothing and returns false. With ColumnValues::texts, every
// value is checked before the first block is processed.
bool for_each_column_block(PyObject* object, ColumnValues values, const ColumnBlock& process);

}  // namespace velt::python
