// The Arrow C data interface: the three structs through which a producer hands
// over its columns, a stable ABI declared here from the Arrow format's
// documentation (no Arrow library is needed to build or run velt), and owners
// that call each release callback exactly once.
#pragma once

#include <cstdint>
#include <cstring>
#include <utility>

namespace velt::python::arrow {

struct ArrowSchema {
    const char* format;
    const char* name;
    const char* metadata;
    std::int64_t flags;
    std::int64_t n_children;
    ArrowSchema** children;
    ArrowSchema* dictionary;
    void (*release)(ArrowSchema*);
    void* private_data;
};

struct ArrowArray {
    std::int64_t length;
    std::int64_t null_count;
    std::int64_t offset;
    std::int64_t n_buffers;
    std::int64_t n_children;
    const void** buffers;
    ArrowArray** children;
    ArrowArray* dictionary;
    void (*release)(ArrowArray*);
    void* private_data;
};

struct ArrowArrayStream {
    int (*get_schema)(ArrowArrayStream*, ArrowSchema* out);
    int (*get_next)(ArrowArrayStream*, ArrowArray* out);
    const char* (*get_last_error)(ArrowArrayStream*);
    void (*release)(ArrowArrayStream*);
    void* private_data;
};

// Owns one of the structs: a released struct has a null `release`, and the
// owner releases a struct it still holds when it is destroyed.
template <class Struct>
class Owned {
public:
    Owned() { std::memset(&value_, 0, sizeof value_); }
    Owned(Owned&& other) noexcept : Owned() { std::swap(value_, other.value_); }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    ~Owned() {
        if (value_.release != nullptr) value_.release(&value_);
    }

    // Moves the struct out of `source` (a producer's capsule), marking it released there.
    static Owned take(Struct* source) {
        Owned owned;
        owned.value_ = *source;
        source->release = nullptr;
        return owned;
    }
    Struct* get() { return &value_; }
    const Struct* operator->() const { return &value_; }
    bool released() const { return value_.release == nullptr; }

private:
    Struct value_;
};

}  // namespace velt::python::arrow
