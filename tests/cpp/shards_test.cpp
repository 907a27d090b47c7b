#include <gtest/gtest.h>

#include <numeric>
#include <vector>

#include "codec/engine/failure.hpp"
#include "codec/engine/shards.hpp"

namespace ondrel::engine {
namespace {

std::vector<std::uint8_t> iota_bytes(std::size_t n, std::uint8_t first = 1) {
    std::vector<std::uint8_t> bytes(n);
    std::iota(bytes.begin(), bytes.end(), first);
    return bytes;
}

const std::uint8_t* chunk_bytes(Shards& shards, std::size_t s) { return shards.shard_bytes(s).data(); }

// Where caller byte b of a shard of `shard_bytes` bytes lands in storage.
std::size_t storage_offset(std::size_t shard_bytes, std::size_t b) {
    const std::size_t whole = shard_bytes / 64 * 64;
    if (b < whole) return b;
    const std::size_t half = (shard_bytes - whole) / 2;
    return b - whole < half ? b : whole + 32 + (b - whole - half);
}

TEST(ShardsInsert, PlacesBytesInChunkLayout) {
    struct Case {
        std::size_t shard_bytes, shard_len_64;
    };
    for (const Case c : {Case{64, 1}, Case{2, 1}, Case{62, 1}, Case{70, 2}, Case{128, 2}, Case{130, 3}, Case{96, 2}}) {
        Shards shards;
        shards.resize(3, c.shard_len_64);
        ASSERT_EQ(shard_len_64_for(c.shard_bytes), c.shard_len_64);
        const auto bytes = iota_bytes(c.shard_bytes);
        shards.insert(1, bytes);
        const std::uint8_t* stored = chunk_bytes(shards, 1);
        for (std::size_t b = 0; b < c.shard_bytes; ++b) {
            ASSERT_EQ(stored[storage_offset(c.shard_bytes, b)], bytes[b])
                << "shard_bytes " << c.shard_bytes << ", byte " << b;
        }
        // Neighbouring shards are untouched.
        for (std::size_t i = 0; i < 64 * c.shard_len_64; ++i) {
            ASSERT_EQ(chunk_bytes(shards, 0)[i], 0);
            ASSERT_EQ(chunk_bytes(shards, 2)[i], 0);
        }
    }
}

TEST(ShardsInsert, WorkedExamples) {
    Shards shards;
    shards.resize(1, 2);
    const auto bytes = iota_bytes(70, 0);
    shards.insert(0, bytes);
    const std::uint8_t* s = chunk_bytes(shards, 0);
    EXPECT_EQ(s[5], 5);
    EXPECT_EQ(s[37], 37);
    EXPECT_EQ(s[64 + 0], 64);
    EXPECT_EQ(s[64 + 1], 65);
    EXPECT_EQ(s[64 + 2], 66);
    EXPECT_EQ(s[64 + 32], 67);
    EXPECT_EQ(s[64 + 33], 68);
    EXPECT_EQ(s[64 + 34], 69);

    Shards two;
    two.resize(1, 1);
    const std::uint8_t pair[] = {0xAB, 0xCD};
    two.insert(0, pair);
    EXPECT_EQ(chunk_bytes(two, 0)[0], 0xAB);
    EXPECT_EQ(chunk_bytes(two, 0)[32], 0xCD);
    two.view_mut().undo_last_chunk_encoding(2, 0, 1);
    EXPECT_EQ(chunk_bytes(two, 0)[0], 0xAB);
    EXPECT_EQ(chunk_bytes(two, 0)[1], 0xCD);
}

TEST(ShardsInsert, UndoLastChunkEncodingRestoresEveryEvenSize) {
    for (std::size_t shard_bytes = 2; shard_bytes <= 200; shard_bytes += 2) {
        Shards shards;
        const std::size_t len64 = shard_len_64_for(shard_bytes);
        shards.resize(2, len64);
        const auto bytes = iota_bytes(shard_bytes, 3);
        shards.insert(0, bytes);
        shards.insert(1, bytes);
        shards.view_mut().undo_last_chunk_encoding(shard_bytes, 1, 2);
        const std::uint8_t* restored = chunk_bytes(shards, 1);
        ASSERT_TRUE(std::equal(bytes.begin(), bytes.end(), restored)) << "shard_bytes " << shard_bytes;
        // Shard 0 lies outside the range and keeps its split form.
        ASSERT_EQ(chunk_bytes(shards, 0)[storage_offset(shard_bytes, shard_bytes - 1)], bytes.back());
    }
}

TEST(ShardsResize, KeepsChunksAndZeroesOnlyAddedOnes) {
    Shards shards;
    shards.resize(3, 2);
    for (std::size_t s = 0; s < 3; ++s) shards.insert(s, std::vector<std::uint8_t>(128, std::uint8_t(s + 1)));
    const std::size_t capacity = shards.capacity_chunks();

    shards.resize(4, 2);
    for (std::size_t s = 0; s < 3; ++s) EXPECT_EQ(chunk_bytes(shards, s)[127], s + 1);
    for (std::size_t i = 0; i < 128; ++i) ASSERT_EQ(chunk_bytes(shards, 3)[i], 0);

    shards.resize(2, 1);
    EXPECT_EQ(chunk_bytes(shards, 0)[63], 1);  // chunk 0 was shard 0's first chunk
    EXPECT_EQ(chunk_bytes(shards, 1)[0], 1);   // chunk 1 was shard 0's second chunk
    EXPECT_GE(shards.capacity_chunks(), capacity);
    EXPECT_EQ(shards.view_mut().data().size(), 2u);

    shards.resize(3, 2);  // regrows into kept capacity: chunks 2..5 are zero again
    EXPECT_EQ(chunk_bytes(shards, 0)[127], 1);
    for (std::size_t i = 0; i < 128; ++i) ASSERT_EQ(chunk_bytes(shards, 2)[i], 0);
}

class ViewTest : public ::testing::Test {
protected:
    void SetUp() override {
        shards.resize(6, 1);
        for (std::size_t s = 0; s < 6; ++s) shards.insert(s, std::vector<std::uint8_t>(64, std::uint8_t(s + 1)));
    }
    std::uint8_t first_byte(std::size_t s) { return chunk_bytes(shards, s)[0]; }
    Shards shards;
};

TEST_F(ViewTest, Flat2MutReturnsRunsInArgumentOrder) {
    const ShardsRefMut view = shards.view_mut();
    auto [a, b] = view.flat2_mut(4, 0, 2);
    EXPECT_EQ(a.size(), 2u);
    EXPECT_EQ(a[0].bytes[0], 5);
    EXPECT_EQ(a[1].bytes[0], 6);
    EXPECT_EQ(b[0].bytes[0], 1);
    auto [c, d] = view.flat2_mut(0, 4, 2);
    EXPECT_EQ(c[0].bytes[0], 1);
    EXPECT_EQ(d[1].bytes[0], 6);
}

TEST_F(ViewTest, CopyWithinActsAsMoveOnOverlap) {
    shards.view_mut().copy_within(0, 1, 3);
    const std::uint8_t expected[] = {1, 1, 2, 3, 5, 6};
    for (std::size_t s = 0; s < 6; ++s) EXPECT_EQ(first_byte(s), expected[s]) << "shard " << s;
}

TEST_F(ViewTest, ZeroAndSplit) {
    const ShardsRefMut view = shards.view_mut();
    auto [left, right] = view.split_at(2);
    EXPECT_EQ(left.shard_count(), 2u);
    EXPECT_EQ(right.shard_count(), 4u);
    right.zero(1, 3);
    const std::uint8_t expected[] = {1, 2, 3, 0, 0, 6};
    for (std::size_t s = 0; s < 6; ++s) EXPECT_EQ(first_byte(s), expected[s]) << "shard " << s;
}

TEST_F(ViewTest, OutOfRangeAccessIsAnInternalFailure) {
    const ShardsRefMut view = shards.view_mut();
    EXPECT_THROW((void)view.shard(6), InternalFailure);
    EXPECT_THROW((void)view.split_at(7), InternalFailure);
    EXPECT_THROW(view.zero(5, 7), InternalFailure);
    EXPECT_THROW(view.zero(3, 2), InternalFailure);
    EXPECT_THROW(view.copy_within(4, 0, 3), InternalFailure);
    EXPECT_THROW((void)view.flat2_mut(0, 1, 2), InternalFailure);  // overlapping
    EXPECT_THROW((void)view.flat2_mut(0, 5, 2), InternalFailure);  // past the end
    EXPECT_THROW(shards.insert(6, std::vector<std::uint8_t>(2)), InternalFailure);
    EXPECT_THROW(shards.insert(0, std::vector<std::uint8_t>(66)), InternalFailure);
    EXPECT_THROW(view.undo_last_chunk_encoding(66, 0, 1), InternalFailure);
    // Nothing was written by the failed calls.
    for (std::size_t s = 0; s < 6; ++s) EXPECT_EQ(first_byte(s), s + 1);
}

}  // namespace
}  // namespace ondrel::engine
