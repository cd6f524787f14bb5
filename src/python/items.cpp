#include "python/items.hpp"

#include <algorithm>
#include <array>
#include <optional>

#include "core/codec/utf8.hpp"
#include "core/decimal.hpp"
#include "core/tuning.hpp"
#include "python/arguments.hpp"

namespace velt::python {

// ---- Items ---------------------------------------------------------------------

namespace {

// The UTF-8 of a str. Lone surrogates have no UTF-8 form: they are encoded with
// "surrogatepass" and each resulting invalid byte becomes U+FFFD in `scratch`.
// Returns a view into the str itself, or into `scratch` (in_scratch set).
std::string_view str_bytes(PyObject* text, std::string& scratch, bool& in_scratch) {
    Py_ssize_t size = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size)) {
        in_scratch = false;
        return {utf8, static_cast<std::size_t>(size)};
    }
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw_python_error();
    PyErr_Clear();
    Ref encoded = Ref::checked(PyUnicode_AsEncodedString(text, "utf-8", "surrogatepass"));
    codec::append_utf8_lossy({PyBytes_AsString(encoded.get()), static_cast<std::size_t>(PyBytes_Size(encoded.get()))},
                             scratch);
    in_scratch = true;
    return scratch;
}

// Appends the elements of a sequence to `scratch` when every one is an integer
// 0 .. 255; otherwise leaves `scratch` as it was and returns false.
bool append_small_integers(PyObject* sequence, std::string& scratch) {
    const std::size_t start = scratch.size();
    Ref iterator(PyObject_GetIter(sequence));
    bool all_bytes = static_cast<bool>(iterator);
    while (all_bytes) {
        Ref element(PyIter_Next(iterator.get()));
        if (!element) {
            all_bytes = !PyErr_Occurred();
            break;
        }
        const long value = PyLong_AsLong(element.get());
        if (value < 0 || value > 255) {
            all_bytes = false;
            break;
        }
        scratch.push_back(static_cast<char>(value));
    }
    if (!all_bytes) {
        PyErr_Clear();
        scratch.resize(start);
    }
    return all_bytes;
}

// What str() gives for an exact int (never a bool or another subclass, whose
// str() may differ) that fits in 64 bits, written without making a str object.
// Nothing for any other object: larger ints are left to str() itself, which
// also raises the interpreter's own error for one with too many digits.
std::optional<std::string_view> int_digits(PyObject* item, DecimalBuffer& buffer) {
    if (!PyLong_CheckExact(item)) return std::nullopt;
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(item, &overflow);
    if (overflow < 0) return std::nullopt;  // below -2**63
    if (overflow > 0) {
        const std::uint64_t large = PyLong_AsUnsignedLongLong(item);
        if (large == static_cast<std::uint64_t>(-1) && PyErr_Occurred()) {
            PyErr_Clear();  // 2**64 or more
            return std::nullopt;
        }
        return decimal_text(large, buffer);
    }
    return decimal_text(static_cast<std::int64_t>(value), buffer);
}

// Converts one item. The result views memory of `item` itself, of `owner`
// (which then holds a new reference), or of `scratch` (in_scratch set).
std::string_view convert_item(PyObject* item, std::string& scratch, Ref& owner, bool& in_scratch) {
    in_scratch = false;
    if (PyUnicode_Check(item)) return str_bytes(item, scratch, in_scratch);
    if (PyBytes_Check(item)) {
        return {PyBytes_AsString(item), static_cast<std::size_t>(PyBytes_Size(item))};
    }
    if (PyByteArray_Check(item)) {
        // Mutable: copied, never viewed.
        scratch.append(PyByteArray_AsString(item), static_cast<std::size_t>(PyByteArray_Size(item)));
        in_scratch = true;
        return scratch;
    }
    DecimalBuffer digits;
    if (const auto text = int_digits(item, digits)) {
        scratch.append(*text);
        in_scratch = true;
        return scratch;
    }
    if (PySequence_Check(item) && append_small_integers(item, scratch)) {
        in_scratch = true;
        return scratch;
    }
    owner = Ref::checked(PyObject_Str(item));
    return str_bytes(owner.get(), scratch, in_scratch);
}

}  // namespace

Item::Item(PyObject* item) {
    bool in_scratch = false;
    bytes_ = convert_item(item, owned_, owner_, in_scratch);
}

void ByteArena::next_block(std::size_t size) {
    while (current_ < blocks_.size() && blocks_[current_].size() <= size) ++current_;
    if (current_ == blocks_.size()) {
        const std::size_t previous = blocks_.empty() ? 0 : blocks_.back().size();
        const std::size_t doubled = std::clamp(2 * previous, tuning::arena_first_block, tuning::arena_largest_block);
        blocks_.emplace_back(std::max(doubled, size + 1));
    }
    next_ = blocks_[current_].data();
    end_ = next_ + blocks_[current_].size();
    ++current_;
}

void ByteArena::clear() {
    current_ = 0;
    next_ = end_ = nullptr;
}

std::size_t ByteArena::capacity() const {
    std::size_t total = 0;
    for (const Block& block : blocks_) total += block.size();
    return total;
}

ItemBatch::ItemBatch() : longest_copied_(0) {}

ItemBatch::ItemBatch(PyObject* iterable) : ItemBatch() {
    longest_copied_ = tuning::longest_copied_item;
    buffers_->views.reserve(reservation_for(iterable));
    for_each_element(iterable, [&](PyObject* item) { return add(item); });
}

RanPython ItemBatch::add_other(PyObject* item) {
    DecimalBuffer digits;
    if (const auto text = int_digits(item, digits)) {
        buffers_->views.push_back(buffers_->arena.store(*text));
        return RanPython::no;
    }
    // The general conversion may run Python code (str(), __index__),
    // which could drop the caller's last other reference to `item`.
    Ref held(Py_NewRef(item));
    Ref owner;
    bool in_scratch = false;
    std::string scratch;
    const std::string_view bytes = convert_item(held.get(), scratch, owner, in_scratch);
    if (in_scratch) {
        buffers_->views.push_back(buffers_->arena.store(bytes));
    } else {
        keep(bytes, owner ? owner.get() : held.get());
    }
    return RanPython::yes;
}

void ItemBatch::clear() {
    buffers_->clear();
    owners_.clear();
}

TextBatch::TextBatch(PyObject* sequence, const char* name) {
    check_sequence_argument(sequence, name);
    const std::size_t room = reservation_for(sequence);
    views_.reserve(room);
    owners_.reserve(room);
    for_each_new_reference(sequence, [&](Ref element) {
        const std::string_view text = to_utf8(element.get(), name);
        owners_.push_back(std::move(element));
        views_.push_back(text);
    });
}

}  // namespace velt::python
