// Items and item batches: the item bytes of Python objects, one at a time or
// a whole iterable at once, converted with the GIL held so that the core can
// process them with it released.
#pragma once

#include "python/binding.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/large_array.hpp"
#include "core/platform/hints.hpp"
#include "core/tuning.hpp"
#include "python/arguments.hpp"

namespace velt::python {

// ---- Items ---------------------------------------------------------------------

// The item bytes of one Python item: text and bytes stand for their own bytes,
// sequences of small integers for those bytes, anything else for its str().
class Item {
public:
    explicit Item(PyObject* item);
    std::string_view bytes() const { return bytes_; }

private:
    std::string owned_;
    Ref owner_;
    std::string_view bytes_;
};

// The item bytes of the commonest items whose bytes live in the object itself,
// found without running any Python code: an exact str that has a UTF-8 form,
// an exact bytes. Nothing for every other item.
inline std::optional<std::string_view> own_bytes(PyObject* item) {
    if (Py_IS_TYPE(item, &PyUnicode_Type)) {
        Py_ssize_t size = 0;
        if (const char* utf8 = PyUnicode_AsUTF8AndSize(item, &size)) {
            return std::string_view(utf8, static_cast<std::size_t>(size));
        }
        PyErr_Clear();  // lone surrogates: the general conversion handles them
        return std::nullopt;
    }
    if (Py_IS_TYPE(item, &PyBytes_Type)) {
        char* data = nullptr;
        Py_ssize_t size = 0;
        if (PyBytes_AsStringAndSize(item, &data, &size) < 0) throw_python_error();
        return std::string_view(data, static_cast<std::size_t>(size));
    }
    return std::nullopt;
}

// Append-only byte storage whose contents never move, so that views into it
// stay valid while it grows. Blocks grow up to a few MiB, so that a small
// batch stays small and a large one gets huge pages.
class ByteArena {
public:
    // A copy of `bytes`, valid until the arena is cleared or destroyed.
    std::string_view store(std::string_view bytes) {
        if (bytes.size() >= static_cast<std::size_t>(end_ - next_)) next_block(bytes.size());
        char* const start = next_;
        std::memcpy(start, bytes.data(), bytes.size());
        next_ += bytes.size();
        return {start, bytes.size()};
    }
    // The bytes write(out) writes at `out` and returns the end of, at most
    // `most` of them, written in place instead of copied.
    template <class Write>
    std::string_view store_written(std::size_t most, Write&& write) {
        if (most >= static_cast<std::size_t>(end_ - next_)) next_block(most);
        char* const start = next_;
        next_ = write(start);
        return {start, static_cast<std::size_t>(next_ - start)};
    }
    // Forgets the contents and keeps the blocks for reuse.
    void clear();
    std::size_t capacity() const;

private:
    class Block {
    public:
        explicit Block(std::size_t size) : data_(LargeArrayAllocator<char>().allocate(size)), size_(size) {}
        Block(Block&& other) noexcept : data_(std::exchange(other.data_, nullptr)), size_(other.size_) {}
        Block(const Block&) = delete;
        ~Block() {
            if (data_ != nullptr) LargeArrayAllocator<char>().deallocate(data_, size_);
        }
        char* data() const { return data_; }
        std::size_t size() const { return size_; }

    private:
        char* data_;
        std::size_t size_;
    };

    // Moves on to a block with room for `size` bytes, reusing or making one.
    void next_block(std::size_t size);

    std::vector<Block> blocks_;
    std::size_t current_ = 0;  // blocks_[current_ - 1] is being filled
    char* next_ = nullptr;
    char* end_ = nullptr;
};

// How many bytes of memory an array holds, used or not.
template <class T>
std::size_t capacity_bytes(const LargeArray<T>& array) {
    return array.capacity() * sizeof(T);
}

// A value that starts with the memory of the last one of its type that this
// thread destroyed, and leaves its own, cleared, to the next one (up to
// tuning::retained_batch_bytes): fresh memory costs as much to touch for the
// first time (a page fault per page) as the rest of the work of a large batch.
// T has clear(), and capacity_bytes(T) says how much memory it holds.
template <class T>
class Recycled {
public:
    Recycled() : value_(std::exchange(kept(), T{})) {}
    Recycled(const Recycled&) = delete;
    Recycled& operator=(const Recycled&) = delete;
    ~Recycled() {
        if (capacity_bytes(value_) > tuning::retained_batch_bytes) return;
        value_.clear();
        kept() = std::move(value_);
    }
    T& operator*() { return value_; }
    const T& operator*() const { return value_; }
    T* operator->() { return &value_; }
    const T* operator->() const { return &value_; }

private:
    static T& kept() {
        thread_local T value;
        return value;
    }
    T value_;
};

// The memory of an item batch: the views of its items and the arena that
// holds the copied ones.
struct BatchBuffers {
    LargeArray<std::string_view> views;
    ByteArena arena;

    void clear() {
        views.clear();
        arena.clear();
    }
};

inline std::size_t capacity_bytes(const BatchBuffers& buffers) {
    return capacity_bytes(buffers.views) + buffers.arena.capacity();
}

// The item bytes of every element of an iterable, converted with the GIL held
// so that they can be processed with it released. Short items are copied into
// an arena; long text and bytes are viewed in place (their objects kept alive
// until the batch is destroyed, with the GIL held). A batch thus costs at most
// 16 bytes per item plus the items' bytes: a view, and either the copied bytes
// or, for an item longer than 64 bytes, one reference instead of them.
//
// An empty batch filled a block at a time with add() views every text and
// bytes item in place instead, holding a reference: its objects are released
// while the block is still in the cache, which costs less than copying them.
class ItemBatch {
public:
    explicit ItemBatch(PyObject* iterable);
    // An empty batch, to fill with add().
    ItemBatch();
    ItemBatch(const ItemBatch&) = delete;

    std::span<const std::string_view> items() const { return buffers_->views; }

    // Converts one more item (with the GIL held); says whether that ran Python code.
    // Inlined into the loops over a batch: most items are text or bytes.
    VELT_ALWAYS_INLINE RanPython add(PyObject* item) {
        if (const auto bytes = own_bytes(item)) {
            keep(*bytes, item);
            return RanPython::no;
        }
        return add_other(item);
    }
    // Forgets the items (with the GIL held), keeping the memory for the next ones.
    void clear();

private:
    // Converts an item whose bytes are not its own (see own_bytes), which may run Python code.
    RanPython add_other(PyObject* item);
    // Adds the item whose bytes are `bytes`, living in the object `owner`.
    VELT_ALWAYS_INLINE void keep(std::string_view bytes, PyObject* owner) {
        // Short items are copied next to one another (in a batch filled at once):
        // cheaper to hash later than scattered objects, and no reference to release.
        // Longer ones are viewed in place, their object kept alive.
        if (bytes.size() <= longest_copied_) {
            buffers_->views.push_back(buffers_->arena.store(bytes));
            return;
        }
        buffers_->views.push_back(bytes);
        owners_.emplace_back(Py_NewRef(owner));
    }

    Recycled<BatchBuffers> buffers_;
    LargeArray<Ref> owners_;
    std::size_t longest_copied_;  // items up to this long are copied, longer ones viewed
};

// The hashes that `hash_block(items, out)` writes for every element of an
// iterable, in order, converted and hashed a block of items at a time: each
// block is converted with the GIL held, then hashed with it released while its
// bytes are still in the cache, and its memory serves the next block. The
// caller changes nothing before every item is converted, so that a failing
// conversion leaves the structure as it was, as with an item batch.
template <class Hash, class HashBlock>
void hash_items_in_blocks(PyObject* iterable, LargeArray<Hash>& hashes, HashBlock&& hash_block) {
    hashes.reserve(reservation_for(iterable));
    ItemBatch block;
    const auto hash_converted = [&] {
        const std::size_t start = hashes.size();
        hashes.resize(start + block.items().size());
        without_gil([&] { hash_block(block.items(), hashes.data() + start); });
        block.clear();
    };
    for_each_element(iterable, [&](PyObject* item) {
        const RanPython ran = block.add(item);
        if (block.items().size() < tuning::hashed_block_items) return ran;
        hash_converted();  // releases the GIL
        return RanPython::yes;
    });
    hash_converted();
}

// A sequence (not a str, not a generator) whose every element is a `str`, as
// views of their UTF-8, for processing with the GIL released. Unlike an item
// batch nothing falls back to str(): another element type is a TypeError, and
// lone surrogates raise UnicodeEncodeError. The elements are kept alive until
// the batch is destroyed, with the GIL held.
class TextBatch {
public:
    TextBatch(PyObject* sequence, const char* name);

    std::span<const std::string_view> texts() const { return views_; }

private:
    LargeArray<std::string_view> views_;
    LargeArray<Ref> owners_;
};

}  // namespace velt::python
