#include <gtest/gtest.h>

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
    EXPECT_EQ(detect_avx2(), __builtin_cpu_supports("avx2") != 0);
}

unsigned DETECT_RUNS = 0;
bool DETECT_ANSWER = false;
bool fake_detect() {
    ++DETECT_RUNS;
    return DETECT_ANSWER;
}

TEST(FeatureCache, TestsOnlyWhileUntested) {
    struct Case {
        std::uint8_t initial;
        bool cpu_answer;
        bool expected;
        std::uint8_t stored;
        unsigned runs;
    };
    const Case cases[] = {
        {FEATURE_UNTESTED, true, true, 1, 1},
        {FEATURE_UNTESTED, false, false, 0, 1},
        {1, false, true, 1, 0},
        {0, true, false, 0, 0},
    };
    for (const Case& c : cases) {
        std::atomic<std::uint8_t> cache{c.initial};
        DETECT_ANSWER = c.cpu_answer;
        DETECT_RUNS = 0;
        EXPECT_EQ(cached_feature(cache, fake_detect), c.expected) << int{c.initial};
        EXPECT_EQ(cached_feature(cache, fake_detect), c.expected) << int{c.initial};
        EXPECT_EQ(cache.load(), c.stored) << int{c.initial};
        EXPECT_EQ(DETECT_RUNS, c.runs) << int{c.initial};
    }
}

}  // namespace
}  // namespace ondrel::engine
