// Signatures of many documents at once (MinHash.signatures), and the arrays of
// signatures that come back: a memoryview of unsigned 64-bit values, one row
// per document, over memory of our own.
#pragma once

#include "python/binding.hpp"

#include <cstdint>

#include "core/large_array.hpp"

namespace velt::python {

// Creates the type that owns the memory of signature arrays (once, at module
// initialisation; it is not one of the module's classes).
void create_signature_array_type();

// A 2-D memoryview of format 'Q' and shape (rows, columns) over `values`.
PyObject* new_signature_array(LargeArray<std::uint64_t>&& values, std::uint64_t rows, std::uint64_t columns);

// MinHash.signatures(documents, num_hashes=128, seed=0, shingle="word", n=5, scheme="classic").
PyObject* MinHash_signatures(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace velt::python
