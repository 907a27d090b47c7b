#include <gtest/gtest.h>

#include <algorithm>

#include "codec/engine/cpu_features.hpp"

namespace ondrel::engine {
namespace {

constexpr std::uint32_t XSAVE = 1u << 26, OSXSAVE = 1u << 27, AVX = 1u << 28;
constexpr std::uint32_t AVX2 = 1u << 5;
constexpr std::uint32_t ECX_ALL = XSAVE | OSXSAVE | AVX;

// A stand-in for xgetbv that records whether it was executed.
std::uint64_t FAKE_XCR0 = 0;
unsigned XCR0_READS = 0;
std::uint64_t fake_xcr0() {
    ++XCR0_READS;
    return FAKE_XCR0;
}

TEST(Avx2Decision, FromRegisterValues) {
    struct Case {
        const char* what;
        std::uint32_t ecx, ebx;
        std::uint64_t xcr0;
        bool usable, reads_xcr0;
    };
    const Case cases[] = {
        {"all good", ECX_ALL, AVX2, 0b111, true, true},
        {"all good, more OS state", ECX_ALL, AVX2, 0xE7, true, true},
        {"AVX2 without AVX", ECX_ALL & ~AVX, AVX2, 0b111, false, true},
        {"no AVX2", ECX_ALL, 0, 0b111, false, true},
        {"every other leaf-7 bit but AVX2", ECX_ALL, ~AVX2, 0b111, false, true},
        {"every other leaf-1 bit but AVX", ~AVX, AVX2, 0b111, false, true},
        {"OS does not save AVX state", ECX_ALL, AVX2, 0b011, false, true},
        {"OS does not save SSE state", ECX_ALL, AVX2, 0b101, false, true},
        {"XSAVE clear", ECX_ALL & ~XSAVE, AVX2, 0b111, false, false},
        {"OSXSAVE clear", ECX_ALL & ~OSXSAVE, AVX2, 0b111, false, false},
    };
    for (const Case& c : cases) {
        FAKE_XCR0 = c.xcr0;
        XCR0_READS = 0;
        EXPECT_EQ(avx2_usable({c.ecx, c.ebx}, fake_xcr0), c.usable) << c.what;
        EXPECT_EQ(XCR0_READS != 0, c.reads_xcr0) << c.what;
    }
}

TEST(Avx2Decision, AgreesWithTheCompilerRuntime) {
    // libgcc's detection also checks the operating system's register state.
    __builtin_cpu_init();
    EXPECT_EQ(((cpu_features() & FEATURE_AVX2) != 0), __builtin_cpu_supports("avx2") != 0);
}

constexpr std::uint32_t AVX512F = 1u << 16, AVX512BW = 1u << 30, AVX512VL = 1u << 31;
constexpr std::uint32_t GFNI = 1u << 8;  // leaf-7 ECX
constexpr std::uint32_t EBX_ALL = AVX2 | AVX512F | AVX512BW | AVX512VL;
constexpr std::uint64_t XCR0_ZMM = 0b1110'0111;  // SSE, AVX, opmask, ZMM_Hi256, Hi16_ZMM

TEST(Avx512GfniDecision, FromRegisterValues) {
    struct Case {
        const char* what;
        std::uint32_t ecx1, ebx7, ecx7;
        std::uint64_t xcr0;
        bool usable, reads_xcr0;
    };
    const Case cases[] = {
        {"all good", ECX_ALL, EBX_ALL, GFNI, XCR0_ZMM, true, true},
        {"all good, every other bit set too", ~0u, ~0u, ~0u, ~std::uint64_t{0}, true, true},
        {"no AVX-512F", ECX_ALL, EBX_ALL & ~AVX512F, GFNI, XCR0_ZMM, false, true},
        {"no AVX-512BW", ECX_ALL, EBX_ALL & ~AVX512BW, GFNI, XCR0_ZMM, false, true},
        {"no AVX-512VL", ECX_ALL, EBX_ALL & ~AVX512VL, GFNI, XCR0_ZMM, false, true},
        {"no AVX2", ECX_ALL, EBX_ALL & ~AVX2, GFNI, XCR0_ZMM, false, true},
        {"no GFNI", ECX_ALL, EBX_ALL, 0, XCR0_ZMM, false, true},
        {"every other leaf-7 ECX bit but GFNI", ECX_ALL, EBX_ALL, ~GFNI, XCR0_ZMM, false, true},
        {"no AVX", ECX_ALL & ~AVX, EBX_ALL, GFNI, XCR0_ZMM, false, true},
        {"GFNI bit in leaf-7 EBX only", ECX_ALL, EBX_ALL | GFNI, 0, XCR0_ZMM, false, true},
        {"OS does not save opmask state", ECX_ALL, EBX_ALL, GFNI, XCR0_ZMM & ~(1u << 5), false, true},
        {"OS does not save ZMM_Hi256 state", ECX_ALL, EBX_ALL, GFNI, XCR0_ZMM & ~(1u << 6), false, true},
        {"OS does not save Hi16_ZMM state", ECX_ALL, EBX_ALL, GFNI, XCR0_ZMM & ~(1u << 7), false, true},
        {"OS saves AVX but no AVX-512 state", ECX_ALL, EBX_ALL, GFNI, 0b111, false, true},
        {"OS does not save AVX state", ECX_ALL, EBX_ALL, GFNI, XCR0_ZMM & ~(1u << 2), false, true},
        {"OS does not save SSE state", ECX_ALL, EBX_ALL, GFNI, XCR0_ZMM & ~(1u << 1), false, true},
        {"XSAVE clear", ECX_ALL & ~XSAVE, EBX_ALL, GFNI, XCR0_ZMM, false, false},
        {"OSXSAVE clear", ECX_ALL & ~OSXSAVE, EBX_ALL, GFNI, XCR0_ZMM, false, false},
    };
    for (const Case& c : cases) {
        FAKE_XCR0 = c.xcr0;
        XCR0_READS = 0;
        EXPECT_EQ(avx512_gfni_usable({c.ecx1, c.ebx7, c.ecx7}, fake_xcr0), c.usable) << c.what;
        EXPECT_LE(XCR0_READS, 1u) << c.what;
        EXPECT_EQ(XCR0_READS != 0, c.reads_xcr0) << c.what;
    }
}

TEST(Avx512GfniDecision, AgreesWithTheCompilerRuntime) {
    // libgcc's detection also checks the operating system's register state.
    __builtin_cpu_init();
    const bool expected = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("avx512f") &&
                          __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vl") &&
                          __builtin_cpu_supports("gfni");
    EXPECT_EQ(((cpu_features() & FEATURE_AVX512_GFNI) != 0), expected);
}

TEST(Avx512GfniDecision, ImpliesAvx2) {
    if (((cpu_features() & FEATURE_AVX512_GFNI) != 0)) {
        EXPECT_TRUE(((cpu_features() & FEATURE_AVX2) != 0));
    }
}

// The vendor strings as cpuid leaf 0 returns them (EBX, EDX, ECX).
constexpr std::uint32_t AMD[3] = {0x68747541, 0x69746E65, 0x444D4163};    // "AuthenticAMD"
constexpr std::uint32_t INTEL[3] = {0x756E6547, 0x49656E69, 0x6C65746E};  // "GenuineIntel"

TEST(HalfWidth512, AmdFamily19hOnly) {
    struct Case {
        const char* what;
        const std::uint32_t* vendor;
        std::uint32_t leaf1_eax;
        bool half_width;
    };
    const Case cases[] = {
        {"Zen 4 EPYC (family 0Fh + 0Ah, model 11h)", AMD, 0x00A10F11, true},
        {"Zen 5 (family 0Fh + 0Bh)", AMD, 0x00B40F40, false},
        {"Intel with the bits of a Zen 4", INTEL, 0x00A10F11, false},
        {"Sapphire Rapids (family 6)", INTEL, 0x000806F8, false},
        {"extended family ignored below base family 0Fh (9h + 10h)", AMD, 0x01000911, false},
    };
    for (const Case& c : cases) {
        CpuidBits bits;
        bits.leaf1_eax = c.leaf1_eax;
        std::copy(c.vendor, c.vendor + 3, bits.vendor);
        EXPECT_EQ(half_width_512(bits), c.half_width) << c.what;
    }
}

TEST(HalfWidth512, ReportedBesideAvx512GfniOnly) {
    FAKE_XCR0 = XCR0_ZMM;
    CpuidBits bits{ECX_ALL, EBX_ALL, GFNI, 0x00A10F11};
    std::copy(AMD, AMD + 3, bits.vendor);
    EXPECT_EQ(features_from(bits, fake_xcr0), FEATURE_AVX2 | FEATURE_AVX512_GFNI | FEATURE_HALF_WIDTH_512);
    bits.leaf7_ecx = 0;
    EXPECT_EQ(features_from(bits, fake_xcr0), FEATURE_AVX2);
    // This machine, against libgcc's own reading of vendor and family.
    __builtin_cpu_init();
    EXPECT_EQ(half_width_512(read_cpuid_bits()), __builtin_cpu_is("amdfam19h") != 0);
    const CpuFeatures mine = cpu_features();
    EXPECT_EQ((mine & FEATURE_HALF_WIDTH_512) != 0,
              (mine & FEATURE_AVX512_GFNI) != 0 && __builtin_cpu_is("amdfam19h") != 0);
}

TEST(Avx512VbmiDecision, FromRegisterValues) {
    constexpr std::uint32_t VBMI = 1u << 1;  // leaf-7 ECX
    struct Case {
        const char* what;
        std::uint32_t ecx1, ebx7, ecx7;
        std::uint64_t xcr0;
        bool usable;
    };
    const Case cases[] = {
        {"all good", ECX_ALL, EBX_ALL, VBMI, XCR0_ZMM, true},
        {"VL and GFNI are not needed", ECX_ALL, EBX_ALL & ~AVX512VL, VBMI, XCR0_ZMM, true},
        {"no VBMI", ECX_ALL, EBX_ALL, ~VBMI, XCR0_ZMM, false},
        {"VBMI bit in leaf-7 EBX only", ECX_ALL, EBX_ALL | VBMI, 0, XCR0_ZMM, false},
        {"no AVX-512BW", ECX_ALL, EBX_ALL & ~AVX512BW, VBMI, XCR0_ZMM, false},
        {"no AVX-512F", ECX_ALL, EBX_ALL & ~AVX512F, VBMI, XCR0_ZMM, false},
        {"OS does not save opmask state", ECX_ALL, EBX_ALL, VBMI, XCR0_ZMM & ~(1u << 5), false},
        {"OS saves AVX but no AVX-512 state", ECX_ALL, EBX_ALL, VBMI, 0b111, false},
        {"OSXSAVE clear", ECX_ALL & ~OSXSAVE, EBX_ALL, VBMI, XCR0_ZMM, false},
    };
    for (const Case& c : cases) {
        FAKE_XCR0 = c.xcr0;
        EXPECT_EQ(avx512_vbmi_usable({c.ecx1, c.ebx7, c.ecx7}, fake_xcr0), c.usable) << c.what;
    }
    __builtin_cpu_init();
    EXPECT_EQ(((cpu_features() & FEATURE_AVX512_VBMI) != 0), __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                                        __builtin_cpu_supports("avx512vbmi"));
}

}  // namespace
}  // namespace ondrel::engine
