#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <stdexcept>

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

}  // namespace vantorix
