#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "codec/engine/engine_scalar.hpp"
#include "codec/engine/failure.hpp"

namespace ondrel::engine {
namespace {

GfElement element(const Chunk& c, std::size_t j) { return static_cast<GfElement>(c.bytes[j] | c.bytes[32 + j] << 8); }

// Shards of one chunk whose element 0 holds the given values.
struct Block {
    explicit Block(std::vector<GfElement> values, std::size_t len64 = 1) {
        shards.resize(values.size(), len64);
        for (std::size_t s = 0; s < values.size(); ++s) {
            Chunk& c = shards.view_mut().shard(s)[0];
            c.bytes[0] = static_cast<std::uint8_t>(values[s]);
            c.bytes[32] = static_cast<std::uint8_t>(values[s] >> 8);
        }
    }
    std::vector<GfElement> values() {
        std::vector<GfElement> out;
        for (std::size_t s = 0; s < shards.shard_count(); ++s) out.push_back(element(shards.view_mut().shard(s)[0], 0));
        return out;
    }
    Shards shards;
};

const Scalar& engine() {
    static const Scalar scalar(get_exp_log(), get_skew());
    return scalar;
}

using Values = std::vector<GfElement>;

TEST(ScalarTransforms, WorkedExamples) {
    struct Case {
        const char* name;
        bool forward;
        Values input;
        std::size_t truncated_size, skew_delta;
        Values expected;
    };
    const Case cases[] = {
        {"fft2 skew 2", true, {1, 1}, 2, 2, {3, 2}},
        {"ifft2 skew 2", false, {3, 2}, 2, 2, {1, 1}},
        {"fft2 zero twiddle", true, {1, 1}, 2, 0, {1, 0}},
        {"fft4", true, {1, 2, 3, 4}, 4, 0, {1, 3, 10, 12}},
        {"ifft4", false, {1, 2, 3, 4}, 4, 0, {1, 3, 8, 4}},
        {"fft8", true, {1, 2, 3, 4, 5, 6, 7, 8}, 8, 0, {1, 3, 10, 12, 11, 10, 9, 4}},
        {"ifft8", false, {1, 2, 3, 4, 5, 6, 7, 8}, 8, 0, {1, 3, 8, 4, 1, 5, 15, 8}},
        {"fft8 truncated 2", true, {1, 2, 3, 4, 5, 6, 7, 8}, 2, 0, {1, 3, 2, 6, 15, 1, 11, 13}},
        {"ifft8 truncated 0", false, {1, 2, 3, 4, 5, 6, 7, 8}, 0, 0, {1, 2, 3, 4, 4, 4, 4, 12}},
        {"fft1", true, {7}, 1, 5, {7}},
        {"ifft1", false, {7}, 1, 5, {7}},
    };
    for (const Case& c : cases) {
        Block block(c.input);
        const ShardsRefMut view = block.shards.view_mut();
        if (c.forward) {
            engine().fft(view, 0, c.input.size(), c.truncated_size, c.skew_delta);
        } else {
            engine().ifft(view, 0, c.input.size(), c.truncated_size, c.skew_delta);
        }
        EXPECT_EQ(block.values(), c.expected) << c.name;
    }
}

TEST(ScalarTransforms, FftUndoesIfftForEverySizeAndOffset) {
    std::mt19937 rng(3);
    for (std::size_t size = 1; size <= 4096; size *= 2) {
        for (std::size_t pos : {std::size_t{0}, size}) {
            // skew_delta 0 at position 0, pos + size elsewhere, as the codec calls them.
            const std::size_t skew_delta = pos == 0 ? 0 : pos + size;
            Shards shards;
            shards.resize(pos + size, 1);
            ShardsRefMut view = shards.view_mut();
            for (Chunk& c : view.data()) std::generate(std::begin(c.bytes), std::end(c.bytes), rng);
            const std::vector<Chunk> before(view.data().begin(), view.data().end());
            engine().ifft(view, pos, size, size, skew_delta);
            if (size >= 4) {
                ASSERT_FALSE(std::equal(before.begin(), before.end(), view.data().begin(),
                                        [](const Chunk& a, const Chunk& b) { return std::ranges::equal(a.bytes, b.bytes); }))
                    << "ifft changed nothing, size " << size;
            }
            engine().fft(view, pos, size, size, skew_delta);
            ASSERT_TRUE(std::equal(before.begin(), before.end(), view.data().begin(),
                                   [](const Chunk& a, const Chunk& b) { return std::ranges::equal(a.bytes, b.bytes); }))
                << "size " << size << ", pos " << pos;
        }
    }
}

TEST(ScalarTransforms, ElementPositionsAreIndependent) {
    // Lanes holding equal values in every shard stay equal; lanes differ from
    // each other only as their inputs do.
    std::mt19937 rng(9);
    Shards shards;
    shards.resize(16, 2);
    ShardsRefMut view = shards.view_mut();
    for (Chunk& c : view.data()) {
        std::generate(std::begin(c.bytes), std::end(c.bytes), rng);
        c.bytes[7] = c.bytes[3];
        c.bytes[39] = c.bytes[35];
    }
    engine().ifft(view, 0, 16, 11, 0);
    engine().fft(view, 0, 16, 5, 0);
    engine().mul(view.data(), 1234);
    formal_derivative(view);
    for (const Chunk& c : view.data()) {
        ASSERT_EQ(element(c, 7), element(c, 3));
    }
}

TEST(ScalarTransforms, InvalidArgumentsAreInternalFailures) {
    Block block(Values(8, 1));
    const ShardsRefMut view = block.shards.view_mut();
    EXPECT_THROW(engine().fft(view, 0, 3, 3, 0), InternalFailure);     // not a power of two
    EXPECT_THROW(engine().fft(view, 0, 4, 5, 0), InternalFailure);     // truncated beyond size
    EXPECT_THROW(engine().ifft(view, 6, 4, 4, 0), InternalFailure);    // past the view
    EXPECT_THROW(engine().fft(view, 0, 4, 4, 65533), InternalFailure); // SKEW index past 65534
}

TEST(ScalarMulOp, MatchesScalarProductEverywhere) {
    std::mt19937 rng(1);
    for (GfElement log_m : {GfElement{0}, GfElement{1}, GfElement{21845}, GfElement{65534}, GfElement{65535}}) {
        std::vector<Chunk> chunks(3);
        for (Chunk& c : chunks) std::generate(std::begin(c.bytes), std::end(c.bytes), rng);
        chunks[1].bytes[4] = chunks[1].bytes[36] = 0;
        const std::vector<Chunk> before = chunks;
        engine().mul(chunks, log_m);
        for (std::size_t c = 0; c < chunks.size(); ++c) {
            for (std::size_t j = 0; j < 32; ++j) {
                ASSERT_EQ(element(chunks[c], j), mul(element(before[c], j), log_m));
            }
        }
        EXPECT_EQ(element(chunks[1], 4), 0);
    }
    Block one({1});
    engine().mul(one.shards.view_mut().data(), 21845);
    EXPECT_EQ(one.values(), Values{2});
}

TEST(AuxiliaryOps, FormalDerivativeAndXor) {
    Block block({1, 2, 3, 4, 5, 6, 7, 8});
    formal_derivative(block.shards.view_mut());
    EXPECT_EQ(block.values(), (Values{5, 0, 0, 12, 4, 14, 15, 8}));

    std::vector<Chunk> x(3), y(2);
    for (Chunk& c : x) std::fill(std::begin(c.bytes), std::end(c.bytes), 0x0F);
    for (Chunk& c : y) std::fill(std::begin(c.bytes), std::end(c.bytes), 0xF1);
    xor_into(x, y);
    EXPECT_EQ(x[0].bytes[0], 0xFE);
    EXPECT_EQ(x[1].bytes[63], 0xFE);
    EXPECT_EQ(x[2].bytes[0], 0x0F);  // beyond the shorter run

    Block range({1, 2, 4, 8, 16});
    xor_range(range.shards.view_mut(), 3, 0, 2);
    EXPECT_EQ(range.values(), (Values{1, 2, 4, 9, 18}));
    EXPECT_THROW(xor_range(range.shards.view_mut(), 0, 1, 2), InternalFailure);
}

TEST(AuxiliaryOps, FormalDerivativeEqualsTheSweepDefinition) {
    // Reference: for i = 1..n-1 with w the lowest set bit of i, XOR shards
    // [i, i + w) into [i - w, i), byte by byte, for shards of one and of many
    // chunks, below and above the size of one in-register group.
    struct Case {
        std::size_t shards;
        std::size_t len64;
    };
    for (const Case c : {Case{1, 1}, Case{2, 3}, Case{4, 1}, Case{8, 1}, Case{16, 2}, Case{16, 17}, Case{64, 9},
                         Case{256, 1}, Case{1024, 8}, Case{4096, 1}}) {
        std::mt19937 rng(static_cast<unsigned>(c.shards * 31 + c.len64));
        Shards shards;
        shards.resize(c.shards, c.len64);
        ShardsRefMut view = shards.view_mut();
        for (Chunk& chunk : view.data()) std::generate(std::begin(chunk.bytes), std::end(chunk.bytes), rng);
        std::vector<Chunk> expected(view.data().begin(), view.data().end());
        const std::size_t row = c.len64 * CHUNK_BYTES;
        auto* e = reinterpret_cast<std::uint8_t*>(expected.data());
        for (std::size_t i = 1; i < c.shards; ++i) {
            const std::size_t w = i & (~i + 1);
            for (std::size_t b = 0; b < w * row; ++b) e[(i - w) * row + b] ^= e[i * row + b];
        }
        formal_derivative(view);
        ASSERT_TRUE(std::equal(expected.begin(), expected.end(), view.data().begin(),
                               [](const Chunk& a, const Chunk& b) { return std::ranges::equal(a.bytes, b.bytes); }))
            << c.shards << " shards of " << c.len64 << " chunks";
    }
}

TEST(ScalarEvalPoly, KnownOutputs) {
    std::vector<GfElement> erasures(GF_ORDER, 0);
    Scalar::eval_poly(std::span<GfElement, GF_ORDER>(erasures.data(), GF_ORDER), GF_ORDER);
    EXPECT_TRUE(std::all_of(erasures.begin(), erasures.end(), [](GfElement v) { return v == 0; }));

    for (std::size_t truncated : {std::size_t{4}, GF_ORDER}) {
        std::fill(erasures.begin(), erasures.end(), 0);
        erasures[0] = 1;
        Scalar::eval_poly(std::span<GfElement, GF_ORDER>(erasures.data(), GF_ORDER), truncated);
        const Values first(erasures.begin(), erasures.begin() + 8);
        EXPECT_EQ(first, (Values{65535, 65535, 21845, 43690, 17476, 4369, 34952, 8738})) << truncated;
    }
}

TEST(ScalarEvalPoly, EqualsDirectHadamardProductHadamard) {
    // eval_poly = H(H(e) * LOG_WALSH) modulo 65535, with H the Hadamard
    // transform; computed here directly for sparse inputs below the truncation.
    const LogTable& walsh = get_log_walsh();
    std::mt19937 rng(17);
    for (std::size_t truncated : {std::size_t{4}, std::size_t{100}, std::size_t{1000}, std::size_t{40000}, GF_ORDER}) {
        std::vector<GfElement> erasures(GF_ORDER, 0);
        std::vector<std::size_t> support;
        for (int i = 0; i < 3; ++i) {
            const std::size_t p = rng() % truncated;
            erasures[p] = static_cast<GfElement>(rng());
            support.push_back(p);
        }
        std::sort(support.begin(), support.end());
        support.erase(std::unique(support.begin(), support.end()), support.end());
        const std::vector<GfElement> input = erasures;
        Scalar::eval_poly(std::span<GfElement, GF_ORDER>(erasures.data(), GF_ORDER), truncated);

        std::vector<std::uint64_t> scaled(GF_ORDER);
        for (std::size_t k = 0; k < GF_ORDER; ++k) {
            std::uint64_t sum = 0;
            for (std::size_t j : support) {
                const std::uint64_t v = input[j] % GF_MODULUS;
                sum += (__builtin_popcountll(k & j) & 1) ? GF_MODULUS - v : v;
            }
            scaled[k] = (sum % GF_MODULUS) * walsh[k] % GF_MODULUS;
        }
        for (std::size_t i = rng() % 97; i < GF_ORDER; i += 4099) {
            std::uint64_t sum = 0;
            for (std::size_t k = 0; k < GF_ORDER; ++k) {
                sum += (__builtin_popcountll(i & k) & 1) ? GF_MODULUS - scaled[k] : scaled[k];
            }
            ASSERT_EQ(erasures[i] % GF_MODULUS, sum % GF_MODULUS) << "truncated " << truncated << ", i " << i;
        }
    }
}

}  // namespace
}  // namespace ondrel::engine
