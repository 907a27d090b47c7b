// The segment layer against the word-by-word reference road: the forms
// production uses (plan, then code into caller storage), their failures, the
// row conversions of every kernel set, and batches.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>

#include "codec/engine/failure.hpp"
#include "jam_word_road.hpp"
#include "src/jam/jam.hpp"
#include "src/jam/layout.hpp"
#include "testing.hpp"

namespace ondrel::jam {
namespace {

using testing::random_bytes;
using word_road::Outcome;

template <class T>
std::string describe(const Outcome<T>& outcome) {
    if (auto* error = std::get_if<codec::Error>(&outcome)) return "codec error " + error->debug_text();
    if (auto* text = std::get_if<std::string>(&outcome)) return "internal failure " + *text;
    return "value";
}

// What a call ended with, in the word road's terms.
template <class T, class Fn>
Outcome<T> capture(Fn&& fn) {
    try {
        auto result = fn();
        if (!result) return result.error();
        if constexpr (std::is_void_v<typename decltype(result)::value_type>) {
            return T{};
        } else {
            return T(std::move(*result));
        }
    } catch (const InternalFailure& failure) {
        return std::string(failure.what());
    }
}

constexpr std::uint8_t DIRTY = 0xA5;
constexpr std::size_t GUARD = 8;

// Storage as a caller provides it: not zeroed, with guard bytes behind each
// output so that a write past its end shows.
struct DirtyOutputs {
    DirtyOutputs(std::size_t count, std::size_t len) : len(len), storage(count * (len + GUARD), DIRTY) {
        for (std::size_t k = 0; k < count; ++k) rows.push_back(storage.data() + k * (len + GUARD));
    }
    [[nodiscard]] Bytes row(std::size_t k) const { return Bytes(rows[k], rows[k] + len); }
    [[nodiscard]] bool guards_intact() const {
        return std::all_of(rows.begin(), rows.end(), [&](const std::uint8_t* row) {
            return std::all_of(row + len, row + len + GUARD, [](std::uint8_t b) { return b == DIRTY; });
        });
    }
    std::size_t len;
    Bytes storage;
    std::vector<std::uint8_t*> rows;
};

std::vector<ShardView> views_of(const std::vector<IndexedShard>& shards) {
    std::vector<ShardView> views;
    for (const IndexedShard& shard : shards) views.push_back({shard.bytes, shard.index});
    return views;
}

// The road's shards of `data`: counts must be supported.
std::vector<Bytes> road_encode(const Bytes& data, std::uint64_t orig, std::uint64_t rec) {
    return std::get<std::vector<Bytes>>(word_road::encode(data, orig, rec));
}

std::vector<IndexedShard> pick(std::mt19937& rng, const std::vector<Bytes>& all, std::size_t count) {
    std::vector<std::size_t> indices(all.size());
    std::iota(indices.begin(), indices.end(), 0);
    std::shuffle(indices.begin(), indices.end(), rng);
    std::vector<IndexedShard> picked;
    for (std::size_t i = 0; i < count; ++i) picked.push_back({all[indices[i]], indices[i]});
    return picked;
}

Bytes cut(Bytes b, std::size_t len) {
    b.resize(len);
    return b;
}

// ---- Row conversions ----------------------------------------------------------

// Every kernel set's converters, with the blocks against a guard page:
// words_to_blocks puts each word's low byte in
// its block's first half and its high byte in the second, zero-padded; rows
// written back through blocks_to_words_streamed, or copied through
// copy_streamed, span by span (whole blocks but the last, as tiles are), at
// any alignment of the row, get exactly their bytes and nothing around them
// is touched.
TEST(Layout, KernelSetsConvertRowsExactly) {
    std::mt19937 rng(5);
    for (const std::size_t row_len : {2, 62, 64, 66, 130, 200, 1026, 4098, 5000, 49058}) {
        const Bytes words = random_bytes(row_len, rng);
        const std::size_t blocks = (row_len + BLOCK_BYTES - 1) / BLOCK_BYTES;
        for (const LayoutKernels* kernels : available_layout_kernels()) {
            // The blocks end at a guard page: reading or writing past them faults.
            const testing::FencedBuffer fence(blocks * BLOCK_BYTES, 0);
            std::uint8_t* const chunks = fence.data();
            kernels->words_to_blocks(words.data(), row_len, chunks);
            for (std::size_t w = 0; w < blocks * WORDS_PER_BLOCK; ++w) {
                const std::size_t at = w / WORDS_PER_BLOCK * BLOCK_BYTES + w % WORDS_PER_BLOCK;
                ASSERT_EQ(chunks[at], 2 * w < row_len ? words[2 * w] : 0) << kernels->name << " " << row_len;
                ASSERT_EQ(chunks[at + 32], 2 * w < row_len ? words[2 * w + 1] : 0) << kernels->name << " " << row_len;
            }
            for (const auto& [misalign, copy] : {std::pair{0, false}, {1, false}, {16, false}, {31, false}, {48, false}, {63, false}, {0, true}, {1, true}, {33, true}}) {
                Bytes space(row_len + 256, DIRTY);
                std::uint8_t* const row = reinterpret_cast<std::uint8_t*>(
                                              (reinterpret_cast<std::uintptr_t>(space.data()) + 127) / 64 * 64) +
                                          misalign;
                RowStream stream;
                for (std::size_t offset = 0; offset < row_len; offset += 1024) {
                    const std::size_t n = std::min<std::size_t>(1024, row_len - offset);
                    if (copy) {
                        kernels->copy_streamed(words.data() + offset, n, stream, row, offset, offset + n == row_len);
                    } else {
                        kernels->blocks_to_words_streamed(chunks + offset, n, stream, row, offset,
                                                          offset + n == row_len);
                    }
                }
                store_fence();
                const auto first = static_cast<std::size_t>(row - space.data());
                for (std::size_t i = 0; i < space.size(); ++i) {
                    const bool inside = i >= first && i < first + row_len;
                    ASSERT_EQ(space[i], inside ? words[i - first] : DIRTY)
                        << kernels->name << " row " << row_len << " misalign " << misalign << " byte " << i;
                }
            }
        }
    }
}

// ---- Encode -------------------------------------------------------------------

struct Counts {
    std::uint64_t orig, rec;
};

// Both rates, tiny and large counts, and sizes that leave partial blocks and
// partial tiles (large counts make tiles only a few blocks wide).
const Counts COUNTS[] = {{1, 1}, {1, 3}, {3, 1}, {3, 2}, {2, 3}, {7, 9}, {64, 32}, {342, 681}, {684, 342}, {700, 2500}};

TEST(Encode, IntoDirtyStorageMatchesTheWordRoad) {
    std::mt19937 rng(23);
    for (const Counts c : COUNTS) {
        const std::size_t unit = 2 * c.orig;
        // The last size ends the last original row one byte short inside the
        // row's second tile.
        const std::size_t two_tiles = c.orig * (tile_bytes(c.orig, c.rec, false) + 2) - 1;
        for (const std::size_t n : {std::size_t{0}, std::size_t{1}, unit - 1, unit, unit * 33 + 1, unit * 200 - 1,
                                    two_tiles}) {
            const Bytes data = random_bytes(n, rng);
            const auto shards = road_encode(data, c.orig, c.rec);
            const auto planned = plan_encode(n, c.orig, c.rec);
            ASSERT_TRUE(planned.has_value());
            ASSERT_EQ(*planned, shards.front().size()) << c.orig << "," << c.rec << " n=" << n;
            DirtyOutputs out(c.orig + c.rec, *planned);
            ASSERT_TRUE(encode_into(data, c.orig, c.rec, out.rows).has_value());
            for (std::size_t k = 0; k < shards.size(); ++k) {
                ASSERT_EQ(out.row(k), shards[k]) << c.orig << "," << c.rec << " n=" << n << " shard " << k;
            }
            ASSERT_TRUE(out.guards_intact()) << c.orig << "," << c.rec << " n=" << n;
        }
    }
}

// The plans report exactly what the operations fail with, before any storage
// exists: huge counts give the codec error, not an allocation.
TEST(Encode, FailsAsTheWordRoad) {
    const Counts bad[] = {{0, 1}, {0, 0}, {1, 0}, {65536, 1}, {32769, 32768},  // unsupported, orig = 0
                          {std::uint64_t{1} << 63, 1},
                          {std::uint64_t{1} << 40, 3},  // 2 * orig wraps; huge
                          {3, std::uint64_t{1} << 40},
                          {~std::uint64_t{0}, 1}};
    const Bytes data{1, 2, 3};
    const std::vector<std::span<const std::uint8_t>> segments(9, data);
    for (const Counts c : bad) {
        const auto expected = describe(word_road::encode(data, c.orig, c.rec));
        const std::string where = std::to_string(c.orig) + "," + std::to_string(c.rec);
        ASSERT_NE(expected, "value") << where;
        EXPECT_EQ(describe(capture<std::size_t>([&] { return plan_encode(3, c.orig, c.rec); })), expected) << where;
        EXPECT_EQ(describe(capture<bool>([&] { return encode_into(data, c.orig, c.rec, {}); })), expected) << where;
        EXPECT_EQ(describe(capture<bool>([&] { return plan_multi_encode(1, c.orig, c.rec); })), expected) << where;
        EXPECT_EQ(describe(capture<bool>([&] { return multi_encode_into(segments, c.orig, c.rec, {}); })), expected)
            << where;
    }
    // An empty batch checks nothing.
    EXPECT_TRUE(plan_multi_encode(0, 0, 0).has_value());
    EXPECT_TRUE(multi_encode_into({}, 0, 0, {}).has_value());
}

// ---- Decode -------------------------------------------------------------------

// Decodes spanning several tiles run every tile through one decoder with the
// same received set, the last tile with a smaller shard size.
TEST(Decode, IntoDirtyStorageMatchesTheWordRoad) {
    std::mt19937 rng(29);
    for (const Counts c : COUNTS) {
        // The last size spans several decode tiles (one for the smallest counts).
        const std::size_t many_tiles = c.orig * c.rec < 500'000 ? 1285 : 200;
        for (const std::size_t n : {std::size_t{1}, 2 * c.orig * 33 + 3, 2 * c.orig * 70, 2 * c.orig * many_tiles + 1}) {
            const Bytes data = random_bytes(n, rng);
            const auto shards = road_encode(data, c.orig, c.rec);
            Bytes padded = data;
            padded.resize(c.orig * shards.front().size());
            for (const std::size_t count : {c.orig, std::min(c.orig + 2, c.orig + c.rec)}) {
                auto picked = pick(rng, shards, count);
                if (c.orig + c.rec <= 1100 && n < 2000) {
                    ASSERT_TRUE(std::get<Bytes>(word_road::decode(picked, c.orig, c.rec)) == padded);
                }
                // Shards longer than the first are read only up to its length.
                for (std::size_t i = 1; i < picked.size(); i += 2) picked[i].bytes.push_back(0x77);
                const auto views = views_of(picked);
                const auto planned = plan_decode(views, c.orig, c.rec);
                ASSERT_TRUE(planned.has_value());
                ASSERT_EQ(*planned, padded.size());
                DirtyOutputs out(1, *planned);
                ASSERT_TRUE(decode_into(views, c.orig, c.rec, out.rows.front()).has_value());
                ASSERT_TRUE(out.row(0) == padded) << c.orig << "," << c.rec << " n=" << n << " count=" << count;
                ASSERT_TRUE(out.guards_intact()) << c.orig << "," << c.rec << " n=" << n;
            }
        }
    }
}

TEST(Decode, FailsAsTheWordRoad) {
    std::mt19937 rng(9);
    const auto s = road_encode(random_bytes(6 * 20, rng), 3, 3);  // 40-byte shards
    // clang-format off
    const std::vector<std::vector<IndexedShard>> inputs = {
        {}, {{cut(s[0], 0), 0}}, {{s[0], 0}, {cut(s[1], 1), 1}, {s[2], 2}},
        {{s[0], 0}, {cut(s[1], 30), 1}, {cut(s[2], 20), 2}}, {{s[0], 0}, {cut(s[1], 21), 1}, {cut(s[2], 20), 2}},
        {{cut(s[0], 39), 0}, {s[1], 1}, {s[2], 2}}, {{cut(s[0], 39), 0}, {cut(s[1], 39), 1}, {cut(s[2], 39), 2}},
        {{s[0], 0}, {s[0], 0}, {s[1], 1}}, {{s[3], 3}, {s[4], 4}, {s[3], 3}}, {{s[0], 0}, {s[1], 1}, {s[5], 6}},
        {{s[0], 0}, {s[1], 1}}, {{s[0], 0}, {cut(s[1], 20), 1}}, {{s[0], 0}, {s[2], 9}, {cut(s[1], 1), 1}},
        {{s[0], 0}, {cut(s[1], 10), 1}, {s[0], 0}}, {{s[4], 4}, {cut(s[1], 0), 1}, {s[2], 2}, {s[3], 3}},
        {{s[0], 0}, {s[1], 1}, {s[2], 2}, {cut(s[3], 30), 3}, {s[4], 4}},
    };
    // clang-format on
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        for (const Counts c : {Counts{3, 3}, Counts{0, 3}, Counts{3, 0}, Counts{std::uint64_t{1} << 40, 3}}) {
            const std::string where = "input " + std::to_string(i) + " counts " + std::to_string(c.orig) + "," +
                                      std::to_string(c.rec);
            const auto expected = word_road::decode(inputs[i], c.orig, c.rec);
            const auto views = views_of(inputs[i]);
            const auto planned = capture<std::size_t>([&] { return plan_decode(views, c.orig, c.rec); });
            ASSERT_EQ(describe(planned), describe(expected)) << where;
            if (auto* data = std::get_if<Bytes>(&expected)) {
                EXPECT_EQ(std::get<std::size_t>(planned), data->size()) << where;
                continue;
            }
            EXPECT_EQ(describe(capture<bool>([&] { return decode_into(views, c.orig, c.rec, nullptr); })),
                      describe(expected))
                << where;
        }
    }
}

// ---- Batches ------------------------------------------------------------------

// Segment lengths in words per shard: empty, tiny, small (shorter than one
// block, so packed with neighbours), exactly one block, and several blocks;
// long runs of small ones fill more than one pack.
std::vector<Bytes> mixed_segments(std::mt19937& rng, std::uint64_t orig) {
    const std::size_t unit = 2 * orig;
    const auto of_words = [&](std::size_t words) {
        // A ragged tail: the last word of the last shard only partly given.
        return random_bytes(words == 0 ? 0 : unit * (words - 1) + 1 + rng() % unit, rng);
    };
    std::vector<Bytes> segments;
    for (const std::size_t words : {6, 0, 1, 31, 32, 6, 6, 100, 0, 0, 3, 31, 31, 33, 1}) {
        segments.push_back(of_words(words));
    }
    for (std::size_t i = 0; i < 120; ++i) segments.push_back(of_words(rng() % 12 == 0 ? 0 : 1 + rng() % 31));
    segments.push_back(of_words(70));
    return segments;
}

// Batches write shard k of segment s to output s * (orig + rec) + k, packed
// or not, as the word road does, and leave every neighbouring byte alone.
TEST(Batch, PackedSegmentsMatchTheWordRoad) {
    std::mt19937 rng(37);
    for (const Counts c : {Counts{342, 681}, Counts{3, 2}, Counts{2, 3}, Counts{1, 1}, Counts{64, 32}}) {
        const std::vector<Bytes> segments = mixed_segments(rng, c.orig);
        const std::size_t count = c.orig + c.rec;
        const std::vector<std::span<const std::uint8_t>> views(segments.begin(), segments.end());
        std::vector<DirtyOutputs> outs;
        std::vector<std::uint8_t*> rows;
        for (const Bytes& segment : segments) {
            outs.emplace_back(count, *plan_encode(segment.size(), c.orig, c.rec));
            rows.insert(rows.end(), outs.back().rows.begin(), outs.back().rows.end());
        }
        ASSERT_TRUE(plan_multi_encode(segments.size(), c.orig, c.rec).has_value());
        ASSERT_TRUE(multi_encode_into(views, c.orig, c.rec, rows).has_value());
        for (std::size_t i = 0; i < segments.size(); ++i) {
            const auto single = road_encode(segments[i], c.orig, c.rec);
            for (std::size_t k = 0; k < count; ++k) {
                ASSERT_EQ(outs[i].row(k), single[k]) << c.orig << "," << c.rec << " segment " << i << " shard " << k;
            }
            ASSERT_TRUE(outs[i].guards_intact()) << c.orig << "," << c.rec << " segment " << i;
        }
    }
    // A failed batch leaves the pool usable.
    EXPECT_THROW((void)multi_encode_into(std::vector<std::span<const std::uint8_t>>(3), 0, 3, {}), InternalFailure);
    DirtyOutputs out(3, 0);
    EXPECT_TRUE(multi_encode_into(std::vector<std::span<const std::uint8_t>>(1), 2, 1, out.rows).has_value());
}

}  // namespace
}  // namespace ondrel::jam
