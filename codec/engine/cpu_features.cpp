#include "codec/engine/cpu_features.hpp"

#include <cpuid.h>

namespace ondrel::engine {

namespace {

constexpr std::uint32_t ECX_XSAVE = 1u << 26;
constexpr std::uint32_t ECX_OSXSAVE = 1u << 27;
constexpr std::uint32_t ECX_AVX = 1u << 28;
constexpr std::uint32_t EBX_AVX2 = 1u << 5;
constexpr std::uint64_t XCR0_SSE_AVX_STATE = (1u << 1) | (1u << 2);

std::atomic<unsigned> CPU_TESTS{0};

}  // namespace

bool avx2_usable(CpuidBits bits, Xcr0Reader read_xcr0) {
    const bool xsave_enabled = (bits.leaf1_ecx & ECX_XSAVE) != 0 && (bits.leaf1_ecx & ECX_OSXSAVE) != 0;
    const bool os_saves_avx = xsave_enabled && (read_xcr0() & XCR0_SSE_AVX_STATE) == XCR0_SSE_AVX_STATE;
    return (bits.leaf1_ecx & ECX_AVX) != 0 && os_saves_avx && (bits.leaf7_ebx & EBX_AVX2) != 0;
}

CpuidBits read_cpuid_bits() noexcept {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    CpuidBits bits;
    __cpuid_count(1, 0, eax, ebx, ecx, edx);
    bits.leaf1_ecx = ecx;
    __cpuid_count(7, 0, eax, ebx, ecx, edx);
    bits.leaf7_ebx = ebx;
    return bits;
}

std::uint64_t read_xcr0() noexcept {
    // Inline assembly rather than _xgetbv, which would need the whole unit
    // compiled with -mxsave.
    std::uint32_t low = 0, high = 0;
    __asm__ volatile("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
    return (std::uint64_t{high} << 32) | low;
}

bool detect_avx2() {
    CPU_TESTS.fetch_add(1, std::memory_order_relaxed);
    return avx2_usable(read_cpuid_bits(), read_xcr0);
}

bool cached_feature(std::atomic<std::uint8_t>& cache, bool (*detect)()) {
    std::uint8_t answer = cache.load(std::memory_order_relaxed);
    if (answer == FEATURE_UNTESTED) {
        answer = detect() ? 1 : 0;
        cache.store(answer, std::memory_order_relaxed);
    }
    return answer == 1;
}

unsigned cpu_test_count() noexcept { return CPU_TESTS.load(std::memory_order_relaxed); }

}  // namespace ondrel::engine
