// Answers as columns: the answers of a batch query (`query_many`,
// `query_hashes`) come back as the kind of value the items came as. A list,
// a tuple, a generator or any other iterable gets a list; a column gets a
// column of its own library, built from one buffer through the Arrow C data
// interface or the buffer protocol, with no Python object per answer:
//
//   pyarrow Array or ChunkedArray  ->  pyarrow Array
//   polars Series                  ->  polars Series (same name)
//   pandas Series                  ->  pandas Series (same index and name)
//   another Arrow producer         ->  an object exporting __arrow_c_array__
//   numpy array or another buffer  ->  numpy array (a memoryview without numpy)
//
// Booleans are Arrow booleans or numpy bool; counts are unsigned 64-bit.
// Every answer is a value: a null item is queried as the item its iteration
// gives (columns.hpp), so no answer is ever null.
#pragma once

#include "python/binding.hpp"

#include <cstdint>
#include <memory>
#include <span>
#include <type_traits>

// The second paragraph of each batch query's docstring: the rule above.
#define VELT_ANSWERS_RULE(list, arrow, numpy)                                                                  \
    "A list, a tuple or any other argument that is not a column gives a list of " list                        \
    ". A column gives a column of its own library: a pyarrow Array or ChunkedArray gives a pyarrow " arrow     \
    ", a polars Series a polars Series of the same name, a pandas Series a pandas Series on the same index "  \
    "and with the same name, a numpy array or another buffer a numpy " numpy                                  \
    " array (a memoryview where numpy is absent), and any other Arrow producer an object exporting "          \
    "__arrow_c_array__."
#define VELT_BOOLEAN_ANSWERS VELT_ANSWERS_RULE("bool", "BooleanArray", "bool")
#define VELT_COUNT_ANSWERS VELT_ANSWERS_RULE("int", "UInt64Array", "uint64")

namespace velt::python {

struct AnswerValues;

// The kind of Python value the answers to some items come back as.
enum class AnswerKind { list, pyarrow, polars, pandas, arrow_producer, buffer };

// The answers of one batch query, collected block by block with the GIL
// released and handed over as one list or column.
class BatchAnswers {
public:
    // Answers to `items`, which the caller keeps alive until result(). Decides
    // their kind and makes room for them, with the GIL held.
    template <class Answer>
    static BatchAnswers to(PyObject* items) {
        return BatchAnswers(items, std::is_same_v<Answer, std::uint8_t>);
    }

    // Adds one block's answers in order: the core's booleans (0 or 1) or counts.
    // Called with the GIL released.
    void append(std::span<const std::uint8_t> booleans);
    void append(std::span<const std::uint64_t> counts);

    // The answers as the new list or column that `items` ask for, with the GIL held.
    PyObject* result();

private:
    BatchAnswers(PyObject* items, bool booleans);

    PyObject* items_;
    AnswerKind kind_;
    std::shared_ptr<AnswerValues> values_;
};

// Creates the type of the answer columns (not a name of the module), at its initialisation.
void create_answer_column_type();

}  // namespace velt::python
