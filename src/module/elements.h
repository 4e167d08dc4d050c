#pragma once

#include <cstdint>
#include <cstring>
#include <type_traits>

#include "dispatch.h"
#include "input_array.h"

// Element loads: each element of a readable dtype becomes exactly the value that NumPy's unsafe
// cast to the kernel's type gives it.

namespace vantorix {
namespace detail {

// The byte of a NumPy bool, which may hold any value (a view of uint8 data, say): a C++ bool
// other than 0 or 1 is undefined.
struct Bool {
    std::uint8_t byte;
};

// Integers keep their low 32 bits as a two's-complement int32 (2**32 + 1 is 1, 2**31 is
// -2**31), narrower ones widen exactly, and a bool is 1 for any nonzero byte, as in NumPy.
template <typename Source>
inline std::int32_t to_code(Source v) {
    if constexpr (std::is_same_v<Source, Bool>) {
        return v.byte != 0;
    } else {
        return static_cast<std::int32_t>(static_cast<std::uint32_t>(v));
    }
}

// float16 bits to the double of the same value, exactly (every float16 is a double). A quiet
// NaN keeps its sign and payload; signalling ones never get here (see is_signalling).
inline double half_to_double(std::uint16_t h) {
    const std::uint64_t sign = std::uint64_t{h & 0x8000u} << 48;
    const std::uint64_t exponent = (h >> 10) & 0x1f;
    const std::uint64_t mantissa = h & 0x3ffu;
    std::uint64_t bits;
    if (exponent == 0x1f) {
        bits = sign | 0x7ff0000000000000 | mantissa << 42;
    } else if (exponent != 0) {
        bits = sign | (exponent + 1008) << 52 | mantissa << 42;
    } else {
        double magnitude = static_cast<double>(mantissa) * 0x1p-24;  // zero or subnormal
        std::memcpy(&bits, &magnitude, sizeof bits);
        bits |= sign;
    }
    double v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

// Signalling NaNs of float32 and float16: the quiet bit clear, the payload not zero.
inline bool is_signalling(std::uint32_t bits) {
    return (bits & 0x7fffffffu) - 0x7f800001u < 0x003fffffu;
}
inline bool is_signalling(std::uint16_t bits) {
    return static_cast<std::uint16_t>((bits & 0x7fffu) - 0x7c01u) < 0x01ffu;
}

// Marks a float16 or float32 input that holds a signalling NaN. NumPy's cast quiets it and
// raises the floating-point "invalid" error, which np.errstate turns into a warning (the
// default), an exception or nothing; a warning filter may make the warning an exception too.
// A read in place would do neither, so such an input is cast by NumPy after all.
struct SignallingNaN {};

// The bits of a float16 element: C++17 has no such type.
struct Half {
    std::uint16_t bits;
};

// Element at p as T. `signalling` gains a bit for a float16 or float32 signalling NaN.
template <typename T, typename Source>
VANTORIX_ALWAYS_INLINE T load_element(const char* p, std::uint32_t& signalling) {
    Source v;
    std::memcpy(&v, p, sizeof v);
    if constexpr (std::is_same_v<T, std::int32_t>) {
        return to_code(v);
    } else if constexpr (std::is_integral_v<Source>) {
        return static_cast<double>(v);  // an Arrow integer column as data, as NumPy casts it
    } else if constexpr (std::is_same_v<Source, Half>) {
        signalling |= is_signalling(v.bits);
        return half_to_double(v.bits);
    } else if constexpr (std::is_same_v<Source, float>) {
        std::uint32_t b;
        std::memcpy(&b, &v, sizeof b);
        signalling |= is_signalling(b);
        return static_cast<double>(v);
    } else {
        return v;
    }
}

// `lines` runs of `count` elements, each run `outer` bytes after the one before and `step`
// bytes from one element to the next, converted into rows of `out` that start `pitch`
// elements apart. Loads go through memcpy: NumPy hands over unaligned arrays (a field of a
// packed record, say) as they are, and for aligned data the compiler makes plain (vector)
// loads of it. Returns whether a signalling NaN was read.
template <typename T, typename Source>
VANTORIX_ALWAYS_INLINE bool convert(const char* base, std::int64_t outer, std::int64_t step,
                                    std::int64_t lines, std::int64_t count, T* out,
                                    std::int64_t pitch) {
    std::uint32_t signalling = 0;
    for (std::int64_t l = 0; l < lines; ++l) {
        const char* p = base + l * outer;
        T* o = out + l * pitch;
        if (step == static_cast<std::int64_t>(sizeof(Source))) {
            for (std::int64_t i = 0; i < count; ++i) {
                o[i] = load_element<T, Source>(p + i * sizeof(Source), signalling);
            }
        } else {
            for (std::int64_t i = 0; i < count; ++i) {
                o[i] = load_element<T, Source>(p + i * step, signalling);
            }
        }
    }
    return signalling != 0;
}

// The same compiled for AVX2 (the conversions of float32, int8 and int16 take twice the
// elements per instruction) and chosen where the CPU has it. Conversions are exact, so every
// copy gives the same values.
#ifdef VANTORIX_AVX2
template <typename T, typename Source>
VANTORIX_TARGET_AVX2 bool convert_avx2(const char* base, std::int64_t outer, std::int64_t step,
                                       std::int64_t lines, std::int64_t count, T* out,
                                       std::int64_t pitch) {
    return convert<T, Source>(base, outer, step, lines, count, out, pitch);
}
#endif

template <typename T, typename Source>
bool convert_fastest(const char* base, std::int64_t outer, std::int64_t step, std::int64_t lines,
                     std::int64_t count, T* out, std::int64_t pitch) {
#ifdef VANTORIX_AVX2
    if (cpu_has_avx2()) {
        return convert_avx2<T, Source>(base, outer, step, lines, count, out, pitch);
    }
#endif
    return convert<T, Source>(base, outer, step, lines, count, out, pitch);
}

// Calls run(Source{}) with the C++ type of `element` among those read as T, and returns what it
// returns.
template <typename T, typename Run>
bool visit_source(Element element, const Run& run) {
    if constexpr (std::is_same_v<T, std::int32_t>) {
        switch (element) {
            case Element::int8:
                return run(std::int8_t{});
            case Element::int16:
                return run(std::int16_t{});
            case Element::int32:
                return run(std::int32_t{});
            case Element::int64:
                return run(std::int64_t{});
            case Element::uint8:
                return run(std::uint8_t{});
            case Element::uint16:
                return run(std::uint16_t{});
            case Element::uint32:
                return run(std::uint32_t{});
            case Element::uint64:
                return run(std::uint64_t{});
            case Element::boolean:
                return run(Bool{});
            default:
                return false;
        }
    } else {
        // Integers reach a kernel computing with doubles only from Arrow columns: NumPy's
        // conversion casts an integer array itself.
        switch (element) {
            case Element::int8:
                return run(std::int8_t{});
            case Element::int16:
                return run(std::int16_t{});
            case Element::int32:
                return run(std::int32_t{});
            case Element::int64:
                return run(std::int64_t{});
            case Element::uint8:
                return run(std::uint8_t{});
            case Element::uint16:
                return run(std::uint16_t{});
            case Element::uint32:
                return run(std::uint32_t{});
            case Element::uint64:
                return run(std::uint64_t{});
            case Element::float16:
                return run(Half{});
            case Element::float32:
                return run(float{});
            case Element::float64:
                return run(double{});
            default:
                return false;
        }
    }
}

}  // namespace detail
}  // namespace vantorix
