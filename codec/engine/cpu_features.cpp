#include "codec/engine/cpu_features.hpp"

#include <cpuid.h>

namespace ondrel::engine {

namespace {

constexpr std::uint32_t ECX_XSAVE = 1u << 26;
constexpr std::uint32_t ECX_OSXSAVE = 1u << 27;
constexpr std::uint32_t ECX_AVX = 1u << 28;
constexpr std::uint32_t EBX_AVX2 = 1u << 5;
constexpr std::uint32_t EBX_AVX512F = 1u << 16;
constexpr std::uint32_t EBX_AVX512BW = 1u << 30;
constexpr std::uint32_t EBX_AVX512VL = 1u << 31;
constexpr std::uint32_t ECX7_AVX512VBMI = 1u << 1;
constexpr std::uint32_t ECX7_GFNI = 1u << 8;
constexpr std::uint64_t XCR0_SSE_AVX_STATE = (1u << 1) | (1u << 2);
// Opmask registers, upper halves of ZMM0-15, ZMM16-31.
constexpr std::uint64_t XCR0_AVX512_STATE = XCR0_SSE_AVX_STATE | (1u << 5) | (1u << 6) | (1u << 7);

bool has_all(std::uint64_t value, std::uint64_t bits) { return (value & bits) == bits; }

// The AVX test shared by both decisions: AVX and AVX2 reported, and XCR0
// (read only when xgetbv is allowed) holding all of `xcr0_state`.
bool avx_family_usable(CpuidBits bits, Xcr0Reader read_xcr0, std::uint64_t xcr0_state) {
    const bool xsave_enabled = has_all(bits.leaf1_ecx, ECX_XSAVE | ECX_OSXSAVE);
    const bool os_saves_state = xsave_enabled && has_all(read_xcr0(), xcr0_state);
    return has_all(bits.leaf1_ecx, ECX_AVX) && os_saves_state && has_all(bits.leaf7_ebx, EBX_AVX2);
}

}  // namespace

bool avx2_usable(CpuidBits bits, Xcr0Reader read_xcr0) {
    return avx_family_usable(bits, read_xcr0, XCR0_SSE_AVX_STATE);
}

bool avx512_gfni_usable(CpuidBits bits, Xcr0Reader read_xcr0) {
    return avx_family_usable(bits, read_xcr0, XCR0_AVX512_STATE) &&
           has_all(bits.leaf7_ebx, EBX_AVX512F | EBX_AVX512BW | EBX_AVX512VL) && has_all(bits.leaf7_ecx, ECX7_GFNI);
}

bool avx512_vbmi_usable(CpuidBits bits, Xcr0Reader read_xcr0) {
    return avx_family_usable(bits, read_xcr0, XCR0_AVX512_STATE) &&
           has_all(bits.leaf7_ebx, EBX_AVX512F | EBX_AVX512BW) && has_all(bits.leaf7_ecx, ECX7_AVX512VBMI);
}

bool half_width_512(CpuidBits bits) {
    // "AuthenticAMD" as cpuid returns it.
    constexpr std::uint32_t AMD[3] = {0x68747541, 0x69746E65, 0x444D4163};
    const bool amd = bits.vendor[0] == AMD[0] && bits.vendor[1] == AMD[1] && bits.vendor[2] == AMD[2];
    const std::uint32_t base_family = (bits.leaf1_eax >> 8) & 0xF;
    const std::uint32_t family = base_family == 0xF ? base_family + ((bits.leaf1_eax >> 20) & 0xFF) : base_family;
    return amd && family == 0x19;
}

CpuidBits read_cpuid_bits() noexcept {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    CpuidBits bits;
    __cpuid_count(0, 0, eax, ebx, ecx, edx);
    bits.vendor[0] = ebx;
    bits.vendor[1] = edx;
    bits.vendor[2] = ecx;
    __cpuid_count(1, 0, eax, ebx, ecx, edx);
    bits.leaf1_eax = eax;
    bits.leaf1_ecx = ecx;
    __cpuid_count(7, 0, eax, ebx, ecx, edx);
    bits.leaf7_ebx = ebx;
    bits.leaf7_ecx = ecx;
    return bits;
}

std::uint64_t read_xcr0() noexcept {
    // Inline assembly rather than _xgetbv, which would need the whole unit
    // compiled with -mxsave.
    std::uint32_t low = 0, high = 0;
    __asm__ volatile("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
    return (std::uint64_t{high} << 32) | low;
}

CpuFeatures features_from(CpuidBits bits, Xcr0Reader read_xcr0) {
    CpuFeatures features = 0;
    if (avx2_usable(bits, read_xcr0)) features |= FEATURE_AVX2;
    if (avx512_gfni_usable(bits, read_xcr0)) {
        features |= FEATURE_AVX512_GFNI;
        if (half_width_512(bits)) features |= FEATURE_HALF_WIDTH_512;
    }
    if (avx512_vbmi_usable(bits, read_xcr0)) features |= FEATURE_AVX512_VBMI;
    return features;
}

CpuFeatures cpu_features() {
    static const CpuFeatures features = features_from(read_cpuid_bits(), read_xcr0);
    return features;
}

}  // namespace ondrel::engine
