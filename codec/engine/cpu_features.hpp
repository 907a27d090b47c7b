// Run-time CPU feature tests for choosing kernels: pure decisions over
// register values, and the one snapshot of this machine that every dispatch
// table chooses from.
#pragma once

#include <bit>
#include <cstdint>

namespace ondrel::engine {

// The cpuid register values the feature decisions are made from.
struct CpuidBits {
    std::uint32_t leaf1_ecx = 0;  // cpuid leaf 1, sub-leaf 0: ECX
    std::uint32_t leaf7_ebx = 0;  // cpuid leaf 7, sub-leaf 0: EBX
    std::uint32_t leaf7_ecx = 0;  // cpuid leaf 7, sub-leaf 0: ECX
    std::uint32_t leaf1_eax = 0;  // cpuid leaf 1: EAX, the family and model
    // cpuid leaf 0: the vendor string, in the order EBX, EDX, ECX.
    std::uint32_t vendor[3] = {0, 0, 0};
};

// Returns extended control register 0 (XCR0), which says which register
// states the operating system saves on a context switch.
using Xcr0Reader = std::uint64_t (*)();

// Whether AVX2 code may run, decided from the register values alone: AVX
// (leaf-1 ECX bit 28) and AVX2 (leaf-7 EBX bit 5) reported, and the operating
// system saving SSE and AVX state (XCR0 bits 1 and 2). `read_xcr0` is called
// only when both XSAVE (ECX bit 26) and OSXSAVE (ECX bit 27) are set, because
// xgetbv faults otherwise; if either is clear the answer is no.
[[nodiscard]] bool avx2_usable(CpuidBits bits, Xcr0Reader read_xcr0);

// Whether the AVX-512 + GFNI kernels may run, decided from the register values
// alone: everything avx2_usable requires, plus AVX-512 F, BW and VL (leaf-7
// EBX bits 16, 30, 31) and GFNI (leaf-7 ECX bit 8) reported, and the operating
// system saving the opmask and full ZMM state as well (XCR0 bits 5, 6, 7
// beside 1 and 2). `read_xcr0` is called at most once, and only when both
// XSAVE and OSXSAVE are set; if either is clear the answer is no.
[[nodiscard]] bool avx512_gfni_usable(CpuidBits bits, Xcr0Reader read_xcr0);

// Whether the AVX-512 byte-permutation code may run: everything avx2_usable
// requires, AVX-512 F and BW (leaf-7 EBX bits 16, 30) and VBMI (leaf-7 ECX
// bit 1) reported, and the operating system saving the opmask and full ZMM
// state (XCR0 bits 5, 6, 7 beside 1 and 2). `read_xcr0` as for
// avx512_gfni_usable.
[[nodiscard]] bool avx512_vbmi_usable(CpuidBits bits, Xcr0Reader read_xcr0);

// Whether the core executes 512-bit operations as two 256-bit halves, where
// work written for 256-bit registers costs no more than in 512-bit ones:
// vendor "AuthenticAMD" with family 19h (Zen 4; the family is the base family
// plus the extended family when the base family is 0Fh). No other core that
// reports AVX-512 is known to do so; Zen 5 (family 1Ah) has full-width
// units, at least in its desktop and server parts.
[[nodiscard]] bool half_width_512(CpuidBits bits);

// Executes cpuid leaves 0, 1 and 7 (sub-leaf 0) on this CPU. Leaf 7 is queried
// without checking the highest supported leaf: a CPU that lacks it lacks AVX,
// so its answer there cannot make avx2_usable or avx512_gfni_usable say yes.
[[nodiscard]] CpuidBits read_cpuid_bits() noexcept;

// Executes xgetbv with ECX = 0. Faults unless the CPU reports OSXSAVE.
[[nodiscard]] std::uint64_t read_xcr0() noexcept;

// What this CPU and operating system let the native code run: one bit per
// instruction-set family that some dispatch table has a form for. The build's
// baseline (SSE4.1 and SSSE3) has no bit: code compiled for it cannot run
// anywhere else.
enum CpuFeature : unsigned {
    FEATURE_AVX2 = 1u << 0,         // avx2_usable
    FEATURE_AVX512_GFNI = 1u << 1,  // avx512_gfni_usable
    FEATURE_AVX512_VBMI = 1u << 2,  // avx512_vbmi_usable
    // Not an instruction set but how the core runs one: half_width_512, only
    // reported beside FEATURE_AVX512_GFNI (the one table that asks).
    FEATURE_HALF_WIDTH_512 = 1u << 3,
};
using CpuFeatures = unsigned;
static_assert(std::popcount(unsigned{FEATURE_AVX2 | FEATURE_AVX512_GFNI | FEATURE_AVX512_VBMI |
                                     FEATURE_HALF_WIDTH_512}) == 4,
              "every feature has a bit of its own");

// The features that the register values report (pure; `read_xcr0` as above).
[[nodiscard]] CpuFeatures features_from(CpuidBits bits, Xcr0Reader read_xcr0);

// This machine's features: features_from(read_cpuid_bits(), read_xcr0), run on
// the first call in the process and kept (thread-safe). Every dispatch table
// chooses from this one snapshot.
[[nodiscard]] CpuFeatures cpu_features();

}  // namespace ondrel::engine
