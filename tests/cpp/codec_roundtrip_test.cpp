// Round trips over the supported range of counts and shard sizes: any
// original_count shards, of any mix and added in any order, restore the
// missing originals; reused objects compute what fresh ones do.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <vector>

#include "codec/reed_solomon.hpp"
#include "codec_testing.hpp"

namespace ondrel::codec {
namespace {

using namespace testutil;

// original_count shards picked at random from the whole code word, in random order.
std::vector<IndexedShard> random_subset(const std::vector<Bytes>& originals, const std::vector<Bytes>& recovery,
                                        std::mt19937_64& rng) {
    std::vector<std::size_t> indices(originals.size() + recovery.size());
    std::iota(indices.begin(), indices.end(), 0);
    std::shuffle(indices.begin(), indices.end(), rng);
    indices.resize(originals.size());
    std::vector<IndexedShard> subset;
    for (std::size_t i : indices) {
        subset.push_back({i, i < originals.size() ? originals[i] : recovery[i - originals.size()]});
    }
    return subset;
}

void expect_restores(const std::vector<Bytes>& originals, const std::vector<IndexedShard>& given,
                     const std::map<std::size_t, Bytes>& restored) {
    std::size_t missing = originals.size();
    for (const IndexedShard& shard : given) missing -= shard.index < originals.size();
    ASSERT_EQ(restored.size(), missing);
    for (const auto& [index, bytes] : restored) ASSERT_EQ(bytes, originals[index]) << "original " << index;
    for (const IndexedShard& shard : given) {
        if (shard.index < originals.size()) {
            ASSERT_FALSE(restored.contains(shard.index)) << shard.index;
        }
    }
}

TEST(RoundTrip, AnyOriginalCountShardsRestoreTheOriginals) {
    struct Case {
        std::size_t oc, rc;
        std::vector<std::size_t> shard_sizes;
        int passes;  // random subsets per shard size
    };
    const std::vector<std::size_t> all_sizes = {2, 62, 64, 70, 128, 4096};
    const Case cases[] = {
        {1, 1, all_sizes, 3},         {1, 2, all_sizes, 3},        {2, 1, all_sizes, 3},
        {3, 2, all_sizes, 4},         {2, 3, all_sizes, 4},        {342, 681, {2, 70}, 2},
        {684, 342, {2, 62, 128}, 2},  {1023, 1023, {2, 64}, 1},    {1024, 1025, {2, 70}, 1},
        {65535, 1, {2}, 1},           {1, 65535, {2}, 1},          {32768, 32768, {64}, 1},
        {40000, 16384, {2}, 1},
    };
    std::mt19937_64 rng(2024);
    for (const Case& c : cases) {
        auto encoder = ok(ReedSolomonEncoder::create(c.oc, c.rc, c.shard_sizes.front()));
        auto decoder = ok(ReedSolomonDecoder::create(c.oc, c.rc, c.shard_sizes.front()));
        for (std::size_t sb : c.shard_sizes) {
            SCOPED_TRACE(::testing::Message() << "(" << c.oc << ", " << c.rc << "), " << sb << " bytes");
            ok(encoder.reset(c.oc, c.rc, sb));
            ok(decoder.reset(c.oc, c.rc, sb));
            const auto originals = random_shards(c.oc, sb, rng);
            const auto recovery = encode_all(encoder, originals);
            ASSERT_EQ(recovery.size(), c.rc);
            for (int pass = 0; pass < c.passes; ++pass) {
                const auto given = random_subset(originals, recovery, rng);
                expect_restores(originals, given, decode_all(decoder, c.oc, given));
            }
        }
    }
}

// Losing exactly the originals, or exactly as many originals as there are
// recovery shards, is the hardest case for each rate.
TEST(RoundTrip, AllRecoveryShardsReplaceMissingOriginals) {
    struct Case {
        std::size_t oc, rc, sb;
    };
    std::mt19937_64 rng(99);
    for (const Case c : {Case{5, 5, 70}, Case{100, 7, 64}, Case{7, 100, 62}, Case{33, 31, 2}, Case{31, 33, 128}}) {
        SCOPED_TRACE(::testing::Message() << "(" << c.oc << ", " << c.rc << "), " << c.sb << " bytes");
        const auto originals = random_shards(c.oc, c.sb, rng);
        auto encoder = ok(ReedSolomonEncoder::create(c.oc, c.rc, c.sb));
        const auto recovery = encode_all(encoder, originals);
        const std::size_t lost = std::min(c.oc, c.rc);
        std::vector<IndexedShard> given;
        for (std::size_t r = 0; r < lost; ++r) given.push_back({c.oc + c.rc - 1 - r, recovery[c.rc - 1 - r]});
        for (std::size_t i = lost; i < c.oc; ++i) given.push_back({i, originals[i]});
        auto decoder = ok(ReedSolomonDecoder::create(c.oc, c.rc, c.sb));
        expect_restores(originals, given, decode_all(decoder, c.oc, given));
    }
}

// One encoder and one decoder driven through a sequence of configurations
// (switching rate and shard size, and repeating a configuration without a
// reset) compute exactly what fresh objects compute: nothing left in the
// reused buffers leaks into a later pass.
TEST(RoundTrip, ReusedObjectsEqualFreshOnes) {
    struct Pass {
        std::size_t oc, rc, sb;
        bool reset;
    };
    const Pass passes[] = {
        {3, 2, 70, true},    {3, 2, 70, false},  {2, 3, 70, true},   {3, 2, 4096, true},
        {100, 20, 64, true}, {20, 100, 2, true}, {20, 100, 2, false}, {100, 20, 130, true},
        {1, 1, 2, true},     {3, 2, 70, true},
    };
    std::mt19937_64 rng(17);
    auto encoder = ok(ReedSolomonEncoder::create(passes[0].oc, passes[0].rc, passes[0].sb));
    auto decoder = ok(ReedSolomonDecoder::create(passes[0].oc, passes[0].rc, passes[0].sb));
    for (const Pass& p : passes) {
        SCOPED_TRACE(::testing::Message() << "(" << p.oc << ", " << p.rc << "), " << p.sb << " bytes");
        if (p.reset) {
            ok(encoder.reset(p.oc, p.rc, p.sb));
            ok(decoder.reset(p.oc, p.rc, p.sb));
        }
        const auto originals = random_shards(p.oc, p.sb, rng);
        auto fresh_encoder = ok(ReedSolomonEncoder::create(p.oc, p.rc, p.sb));
        const auto recovery = encode_all(fresh_encoder, originals);
        EXPECT_EQ(encode_all(encoder, originals), recovery);

        const auto given = random_subset(originals, recovery, rng);
        auto fresh_decoder = ok(ReedSolomonDecoder::create(p.oc, p.rc, p.sb));
        const auto restored = decode_all(fresh_decoder, p.oc, given);
        expect_restores(originals, given, restored);
        EXPECT_EQ(decode_all(decoder, p.oc, given), restored);
    }
}

}  // namespace
}  // namespace ondrel::codec
