#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <stdexcept>

#include "dispatch.h"

namespace vantorix {

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};

template <typename T>
using Table = std::unique_ptr<T[], FreeDeleter>;

// A zero-filled working table of `count` elements, owned by the caller's scope (nullptr for
// 0). calloc gives large blocks as fresh zero pages that are only backed by memory once
// written, so a huge table that is sparsely used costs what it uses. The size is checked
// here so that a negative count gives a fixed message and an impossible one a MemoryError,
// rather than whatever the allocator or the container library would say.
template <typename T>
Table<T> zeroed_table(std::int64_t count) {
    if (count < 0) {
        throw std::length_error("vector too long");
    }
    if (count == 0) {
        return nullptr;
    }
    if (static_cast<std::uint64_t>(count) > SIZE_MAX / sizeof(T)) {
        throw std::bad_alloc();
    }
    void* p = std::calloc(static_cast<std::size_t>(count), sizeof(T));
    if (p == nullptr) {
        throw std::bad_alloc();
    }
    return Table<T>(static_cast<T*>(p));
}

// Adds 1 to counts[slot(i)] for i = 0 .. n - 1. The slots are worked out a chunk at a time into
// a buffer, in a loop of their own that the compiler vectorises, so that the loop of increments
// carries nothing but a load and an increment each: the comparisons and index arithmetic that
// reject or clamp a code would otherwise sit between them. Counts are integers: the order of
// the increments does not matter.
//
// While it increments, no load of the input is in flight and the hardware's prefetchers stop
// following it; ahead(i) is called for every 16th element so that its caller can ask for the
// input a block ahead instead.
template <typename Count, typename Slot, typename Ahead>
VANTORIX_ALWAYS_INLINE void count_slots(std::int64_t n, Count* counts, const Slot& slot,
                                        const Ahead& ahead) {
    constexpr std::int64_t chunk = 2048;
    std::uint32_t slots[chunk];
    for (std::int64_t first = 0; first < n; first += chunk) {
        const std::int64_t m = std::min(chunk, n - first);
        for (std::int64_t i = 0; i < m; ++i) {
            slots[i] = slot(first + i, i);
        }
        for (std::int64_t i = 0; i < m; ++i) {
            if (i % 16 == 0) {
                ahead(first + i);
            }
            ++counts[slots[i]];
        }
    }
}

}  // namespace vantorix
