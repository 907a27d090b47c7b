// The GF(2) matrix table of the GFNI kernels, checked through the affine
// instructions themselves: products of the avx512gfni kernel set against the
// scalar exp/log product, for every multiplier logarithm.
#include <gtest/gtest.h>

#include <array>
#include <optional>
#include <random>
#include <vector>

#include "codec/engine/engine_default.hpp"
#include "codec/engine/gfni_tables.hpp"

namespace ondrel::engine {
namespace {

constexpr std::size_t ELEMENTS_PER_CHUNK = CHUNK_BYTES / 2;

void put(std::vector<Chunk>& chunks, std::size_t i, GfElement value) {
    Chunk& c = chunks[i / ELEMENTS_PER_CHUNK];
    c.bytes[i % ELEMENTS_PER_CHUNK] = static_cast<std::uint8_t>(value & 0xFF);
    c.bytes[ELEMENTS_PER_CHUNK + i % ELEMENTS_PER_CHUNK] = static_cast<std::uint8_t>(value >> 8);
}

GfElement get(const std::vector<Chunk>& chunks, std::size_t i) {
    const Chunk& c = chunks[i / ELEMENTS_PER_CHUNK];
    return static_cast<GfElement>(c.bytes[i % ELEMENTS_PER_CHUNK] |
                                  (c.bytes[ELEMENTS_PER_CHUNK + i % ELEMENTS_PER_CHUNK] << 8));
}

std::optional<DefaultEngine> gfni_engine() { return DefaultEngine::with_kernel("avx512gfni"); }

// Multiplying by 1 (logarithm 0 or 65535) is the identity: the in-place
// blocks are the 8x8 identity in gf2p8affineqb's operand form (row i, which
// yields output bit i, in byte 7 - i) and the cross blocks are zero.
TEST(AffineTable, UnitMultiplierIsTheIdentityMatrix) {
    constexpr std::uint64_t IDENTITY = 0x0102040810204080;
    for (const std::size_t log_m : {std::size_t{0}, std::size_t{65535}}) {
        const AffineEntry& e = get_affine_table()[log_m];
        EXPECT_EQ(e.lo_from_lo, IDENTITY) << log_m;
        EXPECT_EQ(e.hi_from_hi, IDENTITY) << log_m;
        EXPECT_EQ(e.lo_from_hi, 0u) << log_m;
        EXPECT_EQ(e.hi_from_lo, 0u) << log_m;
    }
}

// Every logarithm, through the affine path: each basis bit, zero, all ones and
// random elements, two chunks per logarithm.
TEST(AffineTable, EveryLogarithmMultipliesLikeTheScalarProduct) {
    const std::optional<DefaultEngine> engine = gfni_engine();
    if (!engine) GTEST_SKIP() << "this CPU does not run avx512gfni";
    std::mt19937 rng(4242);
    std::vector<GfElement> elements;
    for (unsigned b = 0; b < GF_BITS; ++b) elements.push_back(static_cast<GfElement>(1u << b));
    elements.push_back(0);
    elements.push_back(0xFFFF);
    while (elements.size() < 2 * ELEMENTS_PER_CHUNK) elements.push_back(static_cast<GfElement>(rng()));
    std::vector<Chunk> chunks(2);
    for (std::size_t log_m = 0; log_m < GF_ORDER; ++log_m) {
        for (std::size_t i = 0; i < elements.size(); ++i) put(chunks, i, elements[i]);
        engine->mul(chunks, static_cast<GfElement>(log_m));
        for (std::size_t i = 0; i < elements.size(); ++i) {
            const GfElement expected = mul(elements[i], static_cast<GfElement>(log_m));
            ASSERT_EQ(get(chunks, i), expected) << "log_m " << log_m << ", element " << elements[i];
        }
        // Fresh random elements for the next logarithm, beside the fixed ones.
        for (std::size_t i = GF_BITS + 2; i < elements.size(); ++i) elements[i] = static_cast<GfElement>(rng());
    }
}

// A sample of logarithms against every element of the field.
TEST(AffineTable, SampledLogarithmsMultiplyEveryElement) {
    const std::optional<DefaultEngine> engine = gfni_engine();
    if (!engine) GTEST_SKIP() << "this CPU does not run avx512gfni";
    std::mt19937 rng(99);
    std::vector<GfElement> logs = {0, 1, 2, 255, 256, 21845, 43690, 65533, 65534, 65535};
    for (int i = 0; i < 16; ++i) logs.push_back(static_cast<GfElement>(rng()));
    std::vector<Chunk> chunks(GF_ORDER / ELEMENTS_PER_CHUNK);
    for (const GfElement log_m : logs) {
        for (std::size_t x = 0; x < GF_ORDER; ++x) put(chunks, x, static_cast<GfElement>(x));
        engine->mul(chunks, log_m);
        for (std::size_t x = 0; x < GF_ORDER; ++x) {
            ASSERT_EQ(get(chunks, x), mul(static_cast<GfElement>(x), log_m)) << "log_m " << log_m << ", x " << x;
        }
    }
}

}  // namespace
}  // namespace ondrel::engine
