// XXH3 picks its code path by the input's length alone: 0-3, 4-8, 9-16,
// 17-128, 129-240 bytes, and longer. A loop that hashes one item many times
// (once per row) runs much faster when it is compiled once per
// length class, with the range stated so that an inlined XXH3 keeps only that
// class's arithmetic inside the loop.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/platform/hints.hpp"

namespace velt {

template <std::size_t shortest, std::size_t longest>
struct LengthClass {
    // Tells the optimiser that `item` lies in this class.
    static void assume(std::string_view item) {
        if (item.size() < shortest || item.size() > longest) platform::unreachable();
    }
};

// Calls visit(LengthClass<shortest, longest>{}) for the class of item's length.
template <class Visit>
decltype(auto) with_length_class(std::string_view item, Visit&& visit) {
    const std::size_t length = item.size();
    if (length > 240) return visit(LengthClass<241, SIZE_MAX>{});
    if (length > 128) return visit(LengthClass<129, 240>{});
    if (length > 16) return visit(LengthClass<17, 128>{});
    if (length > 8) return visit(LengthClass<9, 16>{});
    if (length > 3) return visit(LengthClass<4, 8>{});
    return visit(LengthClass<0, 3>{});
}

}  // namespace velt
