#pragma once

#include <cstdint>

// The default build runs on any x86-64 (SSE2). A loop that gains from wider vectors is compiled
// again for AVX2 and AVX-512 and chosen at run time; every copy performs the same IEEE
// operations element by element, so they give the same bits. VANTORIX_NO_DISPATCH builds only
// the baseline, so that tests can check it on any machine. Other compilers and CPUs get the
// baseline loops alone.
#if (defined(__GNUC__) || defined(__clang__)) && defined(__x86_64__)
#define VANTORIX_CPUID 1
#if !defined(VANTORIX_NO_DISPATCH)
#define VANTORIX_AVX2 1
#define VANTORIX_TARGET_AVX2 __attribute__((target("avx2")))
#define VANTORIX_TARGET_AVX512 __attribute__((target("avx512f,avx512bw,avx512dq,avx512vl,avx2")))
#endif
#endif

#ifdef VANTORIX_CPUID
#include <cpuid.h>

#include <atomic>

namespace vantorix {

// The instruction sets are read with CPUID and XGETBV here rather than through a compiler's
// helper: __builtin_cpu_supports rests on a table that the compiler runtime fills in, and
// runtimes differ (zig's compiler-rt never fills it in, so every wide loop would quietly be
// left out).
enum CpuWidth : std::uint32_t { cpu_read = 1, cpu_avx2 = 2, cpu_avx512 = 4 };

// cpu_read, with the widths that both the CPU and the operating system support. The CPU flags
// alone are not enough: the OS must also save the wider registers when it switches threads
// (XCR0), or the upper halves get lost.
inline std::uint32_t read_cpu_widths() {
    std::uint32_t widths = cpu_read;
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    constexpr unsigned osxsave = 1u << 27, avx = 1u << 28;
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0 || (ecx & (osxsave | avx)) != (osxsave | avx)) {
        return widths;
    }
    unsigned xcr0 = 0, xcr0_high = 0;
    __asm__ volatile("xgetbv" : "=a"(xcr0), "=d"(xcr0_high) : "c"(0));
    constexpr unsigned xmm_ymm = 0x06, opmask_zmm = 0xe0;
    if ((xcr0 & xmm_ymm) != xmm_ymm || __get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) == 0) {
        return widths;
    }
    if (ebx & (1u << 5)) {
        widths |= cpu_avx2;
        constexpr unsigned f_dq_bw_vl = (1u << 16) | (1u << 17) | (1u << 30) | (1u << 31);
        if ((xcr0 & opmask_zmm) == opmask_zmm && (ebx & f_dq_bw_vl) == f_dq_bw_vl) {
            widths |= cpu_avx512;
        }
    }
    return widths;
}

// The only state of the module: what the CPU was found to run, read at the first dispatch and
// kept (`found` stays 0 until then), beside the widths this build compiled. It lives in a
// section of its own so that the tests can find it in the loaded module by that name and see
// which loops were chosen, without an exported symbol or anything on the Python surface.
struct CpuRecord {
    std::uint32_t built;
    std::atomic<std::uint32_t> found;
};

#ifndef VANTORIX_AVX2
constexpr std::uint32_t built_widths = 0;
#elif defined(VANTORIX_NO_AVX512)
constexpr std::uint32_t built_widths = cpu_avx2;
#else
constexpr std::uint32_t built_widths = cpu_avx2 | cpu_avx512;
#endif

[[gnu::used, gnu::section(".vxcpu")]] inline CpuRecord cpu_record{built_widths, {0}};

// Two threads may both read the CPU the first time; they store the same value.
inline std::uint32_t cpu_widths() {
    std::uint32_t widths = cpu_record.found.load(std::memory_order_relaxed);
    if (widths == 0) {
        widths = read_cpu_widths();
        cpu_record.found.store(widths, std::memory_order_relaxed);
    }
    return widths;
}

#ifdef VANTORIX_AVX2
inline bool cpu_has_avx2() { return (cpu_widths() & built_widths & cpu_avx2) != 0; }
inline bool cpu_has_avx512() { return (cpu_widths() & built_widths & cpu_avx512) != 0; }
#endif

}  // namespace vantorix
#endif

#if defined(__GNUC__) || defined(__clang__)
#define VANTORIX_ALWAYS_INLINE inline __attribute__((always_inline))
#else
#define VANTORIX_ALWAYS_INLINE inline
#endif
