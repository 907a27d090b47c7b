// Work buffers, the received bit set and the result iterators.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "codec/decoder_result.hpp"
#include "codec/encoder_result.hpp"
#include "codec/engine/failure.hpp"
#include "codec/rate/decoder_work.hpp"
#include "codec/rate/encoder_work.hpp"
#include "codec/reed_solomon.hpp"
#include "codec_testing.hpp"

namespace ondrel::codec {
namespace {

using namespace testutil;

TEST(FixedBitSet, GrowInsertClearAcrossBlockBoundaries) {
    FixedBitSet set;
    EXPECT_FALSE(set.contains(0));
    EXPECT_THROW(set.insert(0), InternalFailure);
    set.grow(129);
    const std::vector<std::size_t> bits = {0, 63, 64, 127, 128};
    for (std::size_t p : bits) set.insert(p);
    set.grow(300);
    set.grow(10);  // never shrinks
    EXPECT_EQ(set.len(), 300u);
    for (std::size_t p = 0; p < 400; ++p) {
        EXPECT_EQ(set.contains(p), std::find(bits.begin(), bits.end(), p) != bits.end()) << p;
    }
    set.insert(299);
    EXPECT_THROW(set.insert(300), InternalFailure);
    set.clear();
    EXPECT_EQ(set.len(), 300u);
    for (std::size_t p = 0; p < 300; ++p) ASSERT_FALSE(set.contains(p)) << p;
}

// Byte `offset` of the stored chunks of work position `pos`.
std::uint8_t stored(const engine::Shards& shards, std::size_t pos, std::size_t offset) {
    return shards.shard_bytes(pos)[offset];
}

TEST(EncoderWork, ConvertsOnlyTheRecoveryPositions) {
    EncoderWork work;
    work.reset(3, 2, 2, 4);
    ok(work.add_original_shard(hex("01 02")));
    ok(work.add_original_shard(hex("03 04")));
    EXPECT_EQ(err(work.encode_begin()), Error::too_few_original_shards(3, 2));
    ok(work.add_original_shard(hex("05 06")));
    const auto begin = ok(work.encode_begin());
    EXPECT_EQ(begin.data.shard_count(), 4u);
    EXPECT_EQ(stored(work.shards(), 0, 32), 0x02);  // high byte in the high half during the computation
    work.undo_last_chunk_encoding();
    EXPECT_EQ(to_bytes(*work.recovery(0)), hex("01 02"));
    EXPECT_EQ(to_bytes(*work.recovery(1)), hex("03 04"));
    EXPECT_FALSE(work.recovery(2).has_value());
    EXPECT_EQ(stored(work.shards(), 2, 1), 0x00);  // original 2 is not a recovery position
    EXPECT_EQ(stored(work.shards(), 2, 32), 0x06);
}

TEST(EncoderResult, IteratesViewsAndReleasesTheBufferOnce) {
    auto encoder = ok(ReedSolomonEncoder::create(2, 3, 64));
    std::mt19937_64 rng(1);
    const auto originals = random_shards(2, 64, rng);
    for (const Bytes& shard : originals) ok(encoder.add_original_shard(shard));
    const EncoderWork& work = encoder.rate_encoder().work();
    {
        auto first = ok(encoder.encode());
        EncoderResult result(std::move(first));
        {
            EncoderResult moved_from(std::move(result));
            auto iter = moved_from.recovery_iter();
            for (std::size_t i = 0; i < 3; ++i) {
                auto shard = iter.next();
                ASSERT_TRUE(shard.has_value());
                // A view into the work buffer, not a copy.
                EXPECT_EQ(shard->data(), work.shards().shard_bytes(i).data());
                EXPECT_EQ(shard->size(), 64u);
            }
            EXPECT_FALSE(iter.next().has_value());
            EXPECT_FALSE(iter.next().has_value());
            EXPECT_EQ(work.original_received_count(), 2u);
        }
        EXPECT_EQ(work.original_received_count(), 0u);  // released by the owner of the pass
    }
    EXPECT_EQ(err(encoder.encode()), Error::too_few_original_shards(2, 0));
}

TEST(DecoderWork, PlacesShardsAtTheirBasePositions) {
    DecoderWork work;
    EXPECT_THROW(work.reset(2, 3, 3, 4, 0, 8), InternalFailure);
    work.reset(2, 3, 2, /*original_base_pos=*/4, /*recovery_base_pos=*/0, /*work_count=*/8);
    EXPECT_EQ(work.received().len(), 6u);
    ok(work.add_original_shard(1, hex("01 02")));
    EXPECT_EQ(err(work.decode_begin()), Error::not_enough_shards(2, 1, 0));
    ok(work.add_recovery_shard(2, hex("03 04")));
    EXPECT_TRUE(work.received().contains(5));
    EXPECT_TRUE(work.received().contains(2));
    EXPECT_TRUE(ok(work.decode_begin()).has_value());
    ok(work.add_original_shard(0, hex("05 06")));
    EXPECT_FALSE(ok(work.decode_begin()).has_value());  // every original present: no work

    work.reset(3, 2, 2, 0, 4, 8);
    EXPECT_EQ(work.original_received_count(), 0u);
    EXPECT_FALSE(work.received().contains(5));
    ok(work.add_original_shard(1, hex("07 08")));
    ok(work.add_recovery_shard(0, hex("09 0a")));
    ok(work.add_recovery_shard(1, hex("0b 0c")));
    const auto begin = ok(work.decode_begin());
    ASSERT_TRUE(begin.has_value());
    EXPECT_EQ(begin->data.shard_count(), 8u);
    EXPECT_TRUE(begin->received->contains(4));
    work.undo_last_chunk_encoding();
    EXPECT_EQ(stored(work.shards(), 1, 1), 0x08);   // original position: converted
    EXPECT_EQ(stored(work.shards(), 4, 32), 0x0a);  // recovery position: left alone
    EXPECT_FALSE(work.restored_original(1).has_value());
    EXPECT_FALSE(work.restored_original(3).has_value());
    EXPECT_TRUE(work.restored_original(2).has_value());
}

TEST(DecoderResult, YieldsMissingOriginalsInAscendingOrderOnce) {
    std::mt19937_64 rng(2);
    const auto originals = random_shards(6, 70, rng);
    auto encoder = ok(ReedSolomonEncoder::create(6, 4, 70));
    const auto recovery = encode_all(encoder, originals);
    auto decoder = ok(ReedSolomonDecoder::create(6, 4, 70));
    for (std::size_t r = 0; r < 4; ++r) ok(decoder.add_recovery_shard(r, recovery[r]));
    ok(decoder.add_original_shard(4, originals[4]));
    ok(decoder.add_original_shard(1, originals[1]));
    {
        auto result = ok(decoder.decode());
        for (int pass = 0; pass < 2; ++pass) {  // each iterator starts afresh
            auto iter = result.restored_original_iter();
            for (std::size_t expected : {0u, 2u, 3u, 5u}) {
                auto shard = iter.next();
                ASSERT_TRUE(shard.has_value());
                EXPECT_EQ(shard->index, expected);
                EXPECT_EQ(to_bytes(shard->bytes), originals[expected]);
            }
            EXPECT_FALSE(iter.next().has_value());
            EXPECT_FALSE(iter.next().has_value());
        }
    }
    // Released: the next pass starts empty with the same configuration.
    EXPECT_EQ(err(decoder.decode()), Error::not_enough_shards(6, 0, 0));
    for (std::size_t i = 0; i < 6; ++i) ok(decoder.add_original_shard(i, originals[i]));
    auto result = ok(decoder.decode());
    EXPECT_FALSE(result.restored_original_iter().next().has_value());
}

}  // namespace
}  // namespace ondrel::codec
