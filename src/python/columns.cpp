#include "python/columns.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "core/codec/utf8.hpp"
#include "core/decimal.hpp"
#include "core/error.hpp"
#include "core/tuning.hpp"
#include "python/arguments.hpp"
#include "python/arrow_c_data.hpp"
#include "python/items.hpp"

namespace velt::python {

namespace {

// The views of one block and the arena holding the text written for it. A
// block makes its room when it starts, so that adding a view is a plain store:
// a vector's push_back, with its growth path, is not always inlined into the
// hot loops.
class Block {
public:
    // Starts a block of at most `size` views.
    void start(std::size_t size) {
        if (views_.size() < size) views_.resize(size);
        count_ = 0;
        arena.clear();
    }
    void add(std::string_view view) { views_[count_++] = view; }
    std::span<const std::string_view> views() const { return {views_.data(), count_}; }

    ByteArena arena;

private:
    std::vector<std::string_view> views_;
    std::size_t count_ = 0;
};

// The decimal text of `value`, written straight into `arena`.
template <class Integer>
std::string_view store_decimal(ByteArena& arena, Integer value) {
    return arena.store_written(decimal_room, [value](char* out) { return write_decimal_text(out, value); });
}

// The `index`th value of type T in `buffer`. Producers do not always align their
// buffers (a pickled pandas column, for one), so values are copied out, which
// compiles to a plain load where alignment does not matter.
template <class T>
T load(const void* buffer, std::size_t index) {
    T value;
    std::memcpy(&value, static_cast<const char*>(buffer) + index * sizeof(T), sizeof value);
    return value;
}

[[noreturn]] void throw_malformed(const std::string& what) { throw ValueError("malformed Arrow column: " + what); }

// Whether the object's type is exactly `module`.`name`.
bool is_exactly(PyObject* object, std::string_view module, std::string_view name) {
    return type_name(Py_TYPE(object)) == name && type_module(object) == module;
}

// ---- Arrow ----------------------------------------------------------------------

using arrow::ArrowArray;
using arrow::ArrowArrayStream;
using arrow::ArrowSchema;
using arrow::Owned;

// The Arrow types read here, by format string.
enum class ArrowType { utf8, large_utf8, utf8_view, int8, uint8, int16, uint16, int32, uint32, int64, uint64 };

std::optional<ArrowType> arrow_type(std::string_view format) {
    static constexpr std::pair<std::string_view, ArrowType> formats[] = {
        {"u", ArrowType::utf8},   {"U", ArrowType::large_utf8}, {"vu", ArrowType::utf8_view},
        {"c", ArrowType::int8},   {"C", ArrowType::uint8},      {"s", ArrowType::int16},
        {"S", ArrowType::uint16}, {"i", ArrowType::int32},      {"I", ArrowType::uint32},
        {"l", ArrowType::int64},  {"L", ArrowType::uint64},
    };
    for (const auto& [text, type] : formats) {
        if (format == text) return type;
    }
    return std::nullopt;
}

bool is_text(ArrowType type) {
    return type == ArrowType::utf8 || type == ArrowType::large_utf8 || type == ArrowType::utf8_view;
}

// Whether the field's metadata names an extension type, whose values iterate
// as the extension's own objects.
bool has_extension_name(const char* metadata) {
    if (metadata == nullptr) return false;
    std::int32_t pairs = 0;
    std::memcpy(&pairs, metadata, sizeof pairs);
    const char* next = metadata + sizeof pairs;
    for (std::int32_t i = 0; i < 2 * pairs; ++i) {
        std::int32_t size = 0;
        std::memcpy(&size, next, sizeof size);
        next += sizeof size;
        if (i % 2 == 0 && std::string_view(next, static_cast<std::size_t>(size)) == "ARROW:extension:name") return true;
        next += size;
    }
    return false;
}

// The type of a schema read here, if it is one: a plain (not dictionary-encoded,
// not extension) column of a listed format.
std::optional<ArrowType> column_type(const ArrowSchema& schema) {
    if (schema.format == nullptr || schema.dictionary != nullptr || schema.n_children != 0) return std::nullopt;
    if (has_extension_name(schema.metadata)) return std::nullopt;
    return arrow_type(schema.format);
}

// How one Arrow chunk of a known type gives its values.
class ArrowChunk {
public:
    ArrowChunk(const ArrowArray& array, ArrowType type, std::string_view null_item)
        : array_(array), type_(type), null_item_(null_item) {
        check_layout();
    }

    std::size_t size() const { return static_cast<std::size_t>(array_.length); }

    // Whether any value is null.
    bool has_nulls() const {
        if (array_.null_count == 0 || validity() == nullptr) return false;
        for (std::size_t i = 0; i < size(); ++i) {
            if (!valid(i)) return true;
        }
        return false;
    }

    // Checks every offset and view, so that no value reaches outside its buffer.
    void check_values() const {
        if (type_ == ArrowType::utf8) check_offsets<std::int32_t>();
        if (type_ == ArrowType::large_utf8) check_offsets<std::int64_t>();
        if (type_ == ArrowType::utf8_view) check_views();
    }

    // Appends the item bytes of values [first, last) to `block`.
    void append(std::size_t first, std::size_t last, Block& block) const {
        switch (type_) {
            case ArrowType::utf8: return append_each(first, last, block, [&](auto i) { return offset_value<std::int32_t>(i); });
            case ArrowType::large_utf8: return append_each(first, last, block, [&](auto i) { return offset_value<std::int64_t>(i); });
            case ArrowType::utf8_view: return append_each(first, last, block, [&](auto i) { return view_value(i); });
            case ArrowType::int8: return append_integers<std::int8_t>(first, last, block);
            case ArrowType::uint8: return append_integers<std::uint8_t>(first, last, block);
            case ArrowType::int16: return append_integers<std::int16_t>(first, last, block);
            case ArrowType::uint16: return append_integers<std::uint16_t>(first, last, block);
            case ArrowType::int32: return append_integers<std::int32_t>(first, last, block);
            case ArrowType::uint32: return append_integers<std::uint32_t>(first, last, block);
            case ArrowType::int64: return append_integers<std::int64_t>(first, last, block);
            case ArrowType::uint64: return append_integers<std::uint64_t>(first, last, block);
        }
    }

private:
    const std::uint8_t* validity() const { return static_cast<const std::uint8_t*>(array_.buffers[0]); }
    std::size_t position(std::size_t i) const { return static_cast<std::size_t>(array_.offset) + i; }
    bool valid(std::size_t i) const {
        const std::uint8_t* bits = validity();
        return bits == nullptr || array_.null_count == 0 || ((bits[position(i) / 8] >> (position(i) % 8)) & 1) != 0;
    }
    const char* buffer(std::size_t index) const { return static_cast<const char*>(array_.buffers[index]); }

    void check_layout() const {
        if (array_.length < 0 || array_.offset < 0 || array_.n_children != 0) throw_malformed("bad length or offset");
        const std::int64_t fixed_buffers = is_text(type_) && type_ != ArrowType::utf8_view ? 3 : 2;
        const bool enough = type_ == ArrowType::utf8_view ? array_.n_buffers >= 3 : array_.n_buffers == fixed_buffers;
        if (!enough || array_.buffers == nullptr) throw_malformed("wrong number of buffers");
        if (array_.length == 0) return;
        for (std::int64_t i = 1; i < array_.n_buffers; ++i) {
            const bool variadic_sizes = type_ == ArrowType::utf8_view && i == array_.n_buffers - 1;
            if (array_.buffers[i] == nullptr && !variadic_sizes && type_ != ArrowType::utf8_view) {
                throw_malformed("missing buffer");
            }
        }
        if (array_.buffers[1] == nullptr) throw_malformed("missing buffer");
    }

    template <class Offset>
    void check_offsets() const {
        if (size() == 0) return;
        const auto offset = [&](std::size_t i) { return load<Offset>(array_.buffers[1], position(i)); };
        if (buffer(2) == nullptr && offset(size()) != offset(0)) throw_malformed("missing buffer");
        if (offset(0) < 0) throw_malformed("negative offset");
        for (std::size_t i = 0; i < size(); ++i) {
            if (offset(i + 1) < offset(i)) throw_malformed("offsets out of order");
        }
    }

    // A view is 16 bytes: the length, then up to 12 bytes inline, or a
    // 4-byte prefix, the data buffer's index and the offset in it.
    struct View {
        std::int32_t length;
        std::int32_t prefix;
        std::int32_t buffer_index;
        std::int32_t offset;
    };
    static constexpr std::int32_t longest_inline = 12;

    void check_views() const {
        const std::int64_t data_buffers = array_.n_buffers - 3;
        const void* sizes = array_.buffers[array_.n_buffers - 1];
        for (std::size_t i = 0; i < size(); ++i) {
            const auto view = load<View>(array_.buffers[1], position(i));
            if (view.length < 0) throw_malformed("negative length");
            if (view.length <= longest_inline) continue;
            if (view.buffer_index < 0 || view.buffer_index >= data_buffers || view.offset < 0 || sizes == nullptr ||
                buffer(static_cast<std::size_t>(2 + view.buffer_index)) == nullptr ||
                std::int64_t{view.offset} + view.length > load<std::int64_t>(sizes, static_cast<std::size_t>(view.buffer_index))) {
                throw_malformed("string view outside its buffer");
            }
        }
    }

    template <class Offset>
    std::string_view offset_value(std::size_t i) const {
        const auto start = load<Offset>(array_.buffers[1], position(i));
        const auto end = load<Offset>(array_.buffers[1], position(i) + 1);
        return {buffer(2) + start, static_cast<std::size_t>(end - start)};
    }

    std::string_view view_value(std::size_t i) const {
        const auto view = load<View>(array_.buffers[1], position(i));
        const auto length = static_cast<std::size_t>(view.length);
        if (view.length <= longest_inline) return {buffer(1) + sizeof(View) * position(i) + 4, length};
        return {buffer(static_cast<std::size_t>(2 + view.buffer_index)) + view.offset, length};
    }

    // One type's values, decided once per block rather than per value.
    template <class Value>
    void append_each(std::size_t first, std::size_t last, Block& block, Value value) const {
        if (array_.null_count == 0 || validity() == nullptr) {
            for (std::size_t i = first; i < last; ++i) block.add(value(i));
        } else {
            for (std::size_t i = first; i < last; ++i) block.add(valid(i) ? value(i) : null_item_);
        }
    }

    template <class Integer>
    void append_integers(std::size_t first, std::size_t last, Block& block) const {
        // Taken out of the array first: the text is written through char pointers,
        // which may alias anything, so the array's fields would be read again per value.
        const void* values = array_.buffers[1];
        const std::size_t start = position(0);
        append_each(first, last, block, [&block, values, start](std::size_t i) {
            return store_decimal(block.arena, load<Integer>(values, start + i));
        });
    }

    const ArrowArray& array_;
    ArrowType type_;
    std::string_view null_item_;
};

// Checks a chunk and processes it a block at a time, all with the GIL released.
void process_chunk(const ArrowChunk& chunk, Block& block, const ColumnBlock& process) {
    without_gil([&] {
        chunk.check_values();
        for (std::size_t first = 0; first < chunk.size(); first += tuning::column_block_values) {
            const std::size_t last = std::min(chunk.size(), first + tuning::column_block_values);
            block.start(last - first);
            chunk.append(first, last, block);
            process(block.views());
        }
    });
}

// The struct a capsule holds, moved out of it.
template <class Struct>
Owned<Struct> take_capsule(PyObject* capsule, const char* name) {
    auto* source = static_cast<Struct*>(PyCapsule_GetPointer(capsule, name));
    if (source == nullptr) throw_python_error();
    if (source->release == nullptr) throw_malformed(std::string("the ") + name + " was released already");
    return Owned<Struct>::take(source);
}

// What iterating the column gives for a null, as text: None, except for pandas,
// whose Series iterate as their dtype's missing value (nan, <NA>). Nothing when
// that is unknown, and the column is then iterated instead.
std::optional<std::string> null_item(PyObject* object) {
    const std::string module = type_module(object);
    if (module != "pandas" && module.rfind("pandas.", 0) != 0) return "None";
    Ref dtype(PyObject_GetAttrString(object, "dtype"));
    Ref missing(dtype ? PyObject_GetAttrString(dtype.get(), "na_value") : nullptr);
    if (!missing) {
        PyErr_Clear();
        // A numpy integer dtype holds no nulls; any other is iterated.
        Ref kind(dtype ? PyObject_GetAttrString(dtype.get(), "kind") : nullptr);
        const bool integers = kind && PyUnicode_Check(kind.get()) &&
                              (PyUnicode_CompareWithASCIIString(kind.get(), "i") == 0 ||
                               PyUnicode_CompareWithASCIIString(kind.get(), "u") == 0);
        PyErr_Clear();
        if (integers) return "None";
        return std::nullopt;
    }
    Ref text = Ref::checked(PyObject_Str(missing.get()));
    return std::string(to_utf8(text.get(), "na_value"));
}

// Checks what the values of a chunk allow before any is processed.
void check_texts(const ArrowChunk& chunk) {
    if (chunk.has_nulls()) to_utf8(Py_None, "items");  // raises the TypeError of a None element
}

bool read_arrow_array(PyObject* object, ColumnValues values, const ColumnBlock& process, const std::string& null_text) {
    Ref capsules = Ref::checked(PyObject_CallMethod(object, "__arrow_c_array__", nullptr));
    if (!PyTuple_Check(capsules.get()) || PyTuple_Size(capsules.get()) != 2) {
        throw_malformed("__arrow_c_array__ must return a (schema, array) pair");
    }
    auto schema = take_capsule<ArrowSchema>(PyTuple_GetItem(capsules.get(), 0), "arrow_schema");
    auto array = take_capsule<ArrowArray>(PyTuple_GetItem(capsules.get(), 1), "arrow_array");
    const auto type = column_type(*schema.get());
    if (!type || (values == ColumnValues::texts && !is_text(*type))) return false;
    const ArrowChunk chunk(*array.get(), *type, null_text);
    if (values == ColumnValues::texts) check_texts(chunk);
    Block block;
    process_chunk(chunk, block, process);
    return true;
}

[[noreturn]] void throw_stream_error(ArrowArrayStream& stream, int code) {
    if (PyErr_Occurred()) throw_python_error();  // the producer's own exception
    const char* message = stream.get_last_error != nullptr ? stream.get_last_error(&stream) : nullptr;
    throw_malformed("the stream failed (" + std::to_string(code) + ")" +
                    (message != nullptr ? std::string(": ") + message : std::string()));
}

bool read_arrow_stream(PyObject* object, ColumnValues values, const ColumnBlock& process, const std::string& null_text) {
    Ref capsule = Ref::checked(PyObject_CallMethod(object, "__arrow_c_stream__", nullptr));
    auto stream = take_capsule<ArrowArrayStream>(capsule.get(), "arrow_array_stream");
    if (stream->get_schema == nullptr || stream->get_next == nullptr) throw_malformed("incomplete stream");
    Owned<ArrowSchema> schema;
    if (const int code = stream->get_schema(stream.get(), schema.get())) throw_stream_error(*stream.get(), code);
    if (schema.released()) throw_malformed("the stream gave no schema");
    const auto type = column_type(*schema.get());
    if (!type || (values == ColumnValues::texts && !is_text(*type))) return false;

    // Texts are all checked before any is processed; other items are
    // processed as each chunk arrives.
    std::vector<Owned<ArrowArray>> pending;
    Block block;
    while (true) {
        Owned<ArrowArray> array;
        if (const int code = stream->get_next(stream.get(), array.get())) throw_stream_error(*stream.get(), code);
        if (array.released()) break;  // the end of the stream
        const ArrowChunk chunk(*array.get(), *type, null_text);
        if (values == ColumnValues::texts) {
            check_texts(chunk);
            pending.push_back(std::move(array));
        } else {
            process_chunk(chunk, block, process);
        }
    }
    for (auto& array : pending) process_chunk(ArrowChunk(*array.get(), *type, null_text), block, process);
    return true;
}

bool read_arrow(PyObject* object, ColumnValues values, const ColumnBlock& process) {
    const bool array = has_attribute(object, "__arrow_c_array__");
    if (!array && !has_attribute(object, "__arrow_c_stream__")) return false;
    const auto null_text = null_item(object);
    if (!null_text) return false;
    return array ? read_arrow_array(object, values, process, *null_text)
                 : read_arrow_stream(object, values, process, *null_text);
}

// ---- Buffers --------------------------------------------------------------------

// The element types read from a buffer, by struct-module format character.
enum class BufferType { signed_integer, unsigned_integer, boolean, ucs4_text, byte_text };

// The element type of a buffer whose elements iterate as ints, bools, str or
// bytes: integer formats in native order of any exporter listed here, and
// numpy's unicode and bytes arrays ('w' and 's', which only numpy iterates).
std::optional<BufferType> buffer_type(const Py_buffer& view, bool numpy) {
    std::string_view format = view.format != nullptr ? view.format : "B";
    if (!format.empty() && (format[0] == '@' || format[0] == '=' ||
                            (format[0] == '<' && std::endian::native == std::endian::little))) {
        format.remove_prefix(1);
    }
    if (format.size() == 1) {
        const char code = format[0];
        if (std::string_view("bhilqn").find(code) != std::string_view::npos) return BufferType::signed_integer;
        if (std::string_view("BHILQN").find(code) != std::string_view::npos) return BufferType::unsigned_integer;
        if (code == '?') return BufferType::boolean;
    }
    if (!numpy || format.empty()) return std::nullopt;
    const std::string_view count = format.substr(0, format.size() - 1);
    if (count.find_first_not_of("0123456789") != std::string_view::npos) return std::nullopt;
    if (format.back() == 'w' && view.itemsize % 4 == 0) return BufferType::ucs4_text;
    if (format.back() == 's') return BufferType::byte_text;
    return std::nullopt;
}

// Appends the UTF-8 of `count` UCS-4 code points; false at one that has none.
bool append_utf8(const char* ucs4, std::size_t count, std::string& out) {
    for (std::size_t i = 0; i < count; ++i) {
        std::uint32_t c = 0;
        std::memcpy(&c, ucs4 + 4 * i, 4);
        if ((c >= 0xD800 && c < 0xE000) || c >= 0x110000) return false;
        codec::append_code_point(c, out);
    }
    return true;
}

// Whether every code point of `count` UCS-4 elements has a UTF-8 form.
bool all_utf8(const char* start, std::size_t count, Py_ssize_t stride, Py_ssize_t itemsize) {
    for (std::size_t i = 0; i < count; ++i) {
        const char* element = start + static_cast<Py_ssize_t>(i) * stride;
        for (Py_ssize_t at = 0; at < itemsize; at += 4) {
            std::uint32_t c = 0;
            std::memcpy(&c, element + at, 4);
            if ((c >= 0xD800 && c < 0xE000) || c >= 0x110000) return false;
        }
    }
    return true;
}

// The item bytes of one buffer element, stored in `arena`; `scratch` is reused.
std::string_view element_bytes(const char* element, const Py_buffer& view, BufferType type, ColumnValues values,
                               ByteArena& arena, std::string& scratch) {
    const auto size = static_cast<std::size_t>(view.itemsize);
    switch (type) {
        case BufferType::signed_integer: {
            std::int64_t value = 0;
            if (size == 1) value = load<std::int8_t>(element, 0);
            if (size == 2) value = load<std::int16_t>(element, 0);
            if (size == 4) value = load<std::int32_t>(element, 0);
            if (size == 8) value = load<std::int64_t>(element, 0);
            return store_decimal(arena, value);
        }
        case BufferType::unsigned_integer: {
            std::uint64_t value = 0;
            std::memcpy(&value, element, std::min<std::size_t>(size, 8));  // little-endian
            return store_decimal(arena, value);
        }
        case BufferType::boolean: return *element != 0 ? "True" : "False";
        case BufferType::byte_text: {
            std::size_t length = size;
            while (length > 0 && element[length - 1] == '\0') --length;
            return arena.store({element, length});
        }
        case BufferType::ucs4_text: {
            std::size_t length = size / 4;
            while (length > 0 && std::memcmp(element + 4 * (length - 1), "\0\0\0\0", 4) == 0) --length;
            scratch.clear();
            if (append_utf8(element, length, scratch)) return arena.store(scratch);
            // No UTF-8 form: converted as the element's own str would be.
            int little_endian = -1;
            Ref text = Ref::checked(PyUnicode_DecodeUTF32(element, static_cast<Py_ssize_t>(4 * length), "surrogatepass",
                                                          &little_endian));
            if (values == ColumnValues::texts) return arena.store(to_utf8(text.get(), "items"));
            return arena.store(Item(text.get()).bytes());
        }
    }
    return {};
}

class BufferView {
public:
    explicit BufferView(PyObject* object) {
        if (PyObject_GetBuffer(object, &view_, PyBUF_RECORDS_RO) < 0) throw_python_error();
    }
    BufferView(const BufferView&) = delete;
    ~BufferView() { PyBuffer_Release(&view_); }
    const Py_buffer& get() const { return view_; }

private:
    Py_buffer view_;
};

// The buffer's elements, converted a block at a time with the GIL held (the
// buffer may be mutable) and processed with it released.
bool read_buffer(PyObject* object, ColumnValues values, const ColumnBlock& process) {
    const bool numpy = is_exactly(object, "numpy", "ndarray");
    if (!numpy && !PyBytes_CheckExact(object) && !PyByteArray_CheckExact(object) && !PyMemoryView_Check(object) &&
        !is_exactly(object, "array", "array")) {
        return false;
    }
    const BufferView buffer(object);
    const Py_buffer& view = buffer.get();
    if (view.ndim != 1 || view.itemsize <= 0 || view.itemsize > 8 * 1024 * 1024) return false;
    const auto type = buffer_type(view, numpy);
    if (!type || (values == ColumnValues::texts && *type != BufferType::ucs4_text)) return false;
    if ((*type == BufferType::signed_integer || *type == BufferType::unsigned_integer) && view.itemsize > 8) {
        return false;
    }
    const auto count = static_cast<std::size_t>(view.shape[0]);
    const Py_ssize_t stride = view.strides != nullptr ? view.strides[0] : view.itemsize;
    const char* start = static_cast<const char*>(view.buf);
    if (values == ColumnValues::texts && !all_utf8(start, count, stride, view.itemsize)) {
        return false;  // iterated, so that the error comes before any text is processed
    }
    Block block;
    std::string scratch;
    for (std::size_t first = 0; first < count; first += tuning::column_block_values) {
        const std::size_t last = std::min(count, first + tuning::column_block_values);
        block.start(last - first);
        for (std::size_t i = first; i < last; ++i) {
            const char* element = start + static_cast<Py_ssize_t>(i) * stride;
            block.add(element_bytes(element, view, *type, values, block.arena, scratch));
        }
        without_gil([&] { process(block.views()); });
    }
    return true;
}

}  // namespace

bool for_each_column_block(PyObject* object, ColumnValues values, const ColumnBlock& process) {
    if (PyUnicode_Check(object)) return false;
    return read_buffer(object, values, process) || read_arrow(object, values, process);
}

}  // namespace velt::python
