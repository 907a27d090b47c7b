#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <optional>
#include <random>

#include "codec/engine/failure.hpp"
#include "jam_word_road.hpp"
#include "src/jam/jam.hpp"
#include "src/jam/layout.hpp"

namespace ondrel::jam {
namespace {

using word_road::Outcome;

// The owning forms the tests compare through, over the _into forms.
codec::Result<std::vector<Bytes>> encode(std::span<const std::uint8_t> data, std::uint64_t orig, std::uint64_t rec) {
    const auto planned = plan_encode(data.size(), orig, rec);
    if (!planned) return std::unexpected(planned.error());
    std::vector<Bytes> shards(orig + rec, Bytes(*planned));
    std::vector<std::uint8_t*> rows;
    for (Bytes& shard : shards) rows.push_back(shard.data());
    if (auto coded = encode_into(data, orig, rec, rows); !coded) return std::unexpected(coded.error());
    return shards;
}

codec::Result<Bytes> decode(const std::vector<IndexedShard>& shards, std::uint64_t orig, std::uint64_t rec) {
    std::vector<ShardView> views;
    for (const IndexedShard& shard : shards) views.push_back({shard.bytes, shard.index});
    const auto planned = plan_decode(views, orig, rec);
    if (!planned) return std::unexpected(planned.error());
    Bytes out(*planned);
    if (auto coded = decode_into(views, orig, rec, out.data()); !coded) return std::unexpected(coded.error());
    return out;
}

codec::Result<std::vector<std::vector<Bytes>>> multi_encoder(const std::vector<Bytes>& segments, std::uint64_t orig,
                                                             std::uint64_t rec) {
    if (auto planned = plan_multi_encode(segments.size(), orig, rec); !planned) return std::unexpected(planned.error());
    std::vector<std::vector<Bytes>> lists;
    std::vector<std::span<const std::uint8_t>> views(segments.begin(), segments.end());
    std::vector<std::uint8_t*> rows;
    for (const Bytes& segment : segments) {
        lists.emplace_back(orig + rec, Bytes(*plan_encode(segment.size(), orig, rec)));
    }
    for (auto& list : lists) {
        for (Bytes& shard : list) rows.push_back(shard.data());
    }
    if (auto coded = multi_encode_into(views, orig, rec, rows); !coded) return std::unexpected(coded.error());
    return lists;
}

Outcome<std::vector<Bytes>> batched_encode(const Bytes& data, std::uint64_t orig, std::uint64_t rec) {
    try {
        auto shards = encode(data, orig, rec);
        if (!shards) return shards.error();
        return std::move(*shards);
    } catch (const InternalFailure& failure) {
        return std::string(failure.what());
    }
}

Outcome<Bytes> batched_decode(const std::vector<IndexedShard>& shards, std::uint64_t orig, std::uint64_t rec) {
    try {
        auto data = decode(shards, orig, rec);
        if (!data) return data.error();
        return std::move(*data);
    } catch (const InternalFailure& failure) {
        return std::string(failure.what());
    }
}

template <class T>
std::string describe(const Outcome<T>& outcome) {
    if (auto* error = std::get_if<codec::Error>(&outcome)) return "codec error " + error->debug_text();
    if (auto* text = std::get_if<std::string>(&outcome)) return "internal failure " + *text;
    return "value";
}

Bytes random_bytes(std::mt19937& rng, std::size_t n) {
    Bytes bytes(n);
    for (auto& b : bytes) b = static_cast<std::uint8_t>(rng());
    return bytes;
}

// The first `len` bytes of a shard (a shard cut short).
Bytes cut(Bytes b, std::size_t len) {
    b.resize(len);
    return b;
}

TEST(JamLayout, BlockConversionRoundTripsAndPadsLanes) {
    std::mt19937 rng(2);
    for (std::size_t count = 2; count <= BLOCK_BYTES; count += 2) {
        const Bytes words = random_bytes(rng, count);
        std::uint8_t block[BLOCK_BYTES];
        words_to_block(words.data(), count, block);
        for (std::size_t w = 0; w < WORDS_PER_BLOCK; ++w) {
            const bool present = 2 * w < count;
            ASSERT_EQ(block[w], present ? words[2 * w] : 0) << count << " " << w;
            ASSERT_EQ(block[32 + w], present ? words[2 * w + 1] : 0) << count << " " << w;
        }
        Bytes back(count + 1, 0xEE);
        block_to_words(block, count, back.data());
        ASSERT_TRUE(std::equal(words.begin(), words.end(), back.begin()));
        ASSERT_EQ(back[count], 0xEE) << "wrote past count";
    }
}

// Rows are written span by span with lines completed across spans: whatever
// the row's alignment, span sizes and length, the row gets exactly its bytes
// and nothing around it is touched.
TEST(JamLayout, RowStreamWritesExactlyTheRow) {
    struct Case {
        std::size_t row_len;
        std::size_t misalign;  // of the row's first byte within a line
        std::vector<std::size_t> spans;  // repeated until the row is full
    };
    const Case cases[] = {
        {0, 0, {0}},           {1, 63, {1}},          {2, 1, {2}},           {64, 0, {64}},
        {64, 16, {64}},        {130, 1, {1}},         {130, 63, {2, 62}},    {512, 16, {512}},
        {4096, 48, {512}},     {4096, 0, {64, 128}},  {4097, 5, {7, 100}},   {49058, 16, {512}},
        {1000, 31, {1000}},    {200, 60, {3, 5, 64}}, {300, 2, {128, 1, 1}}, {65, 0, {63, 1, 1}},
    };
    std::mt19937 rng(5);
    for (const Case& c : cases) {
        const Bytes source = random_bytes(rng, c.row_len);
        constexpr std::size_t GUARD = 128;
        Bytes space(c.row_len + 2 * GUARD + 64, 0xA5);
        auto* const aligned = reinterpret_cast<std::uint8_t*>(
            (reinterpret_cast<std::uintptr_t>(space.data()) + GUARD + 63) / 64 * 64);
        std::uint8_t* const row = aligned + c.misalign;
        const Bytes before(space.begin(), space.end());
        RowStream stream;
        std::size_t offset = 0;
        for (std::size_t k = 0; offset < c.row_len; ++k) {
            const std::size_t count = std::min(c.spans[k % c.spans.size()], c.row_len - offset);
            stream.append(row, offset, source.data() + offset, count, offset + count == c.row_len);
            offset += count;
        }
        store_fence();
        const std::size_t first = static_cast<std::size_t>(row - space.data());
        for (std::size_t i = 0; i < space.size(); ++i) {
            const bool inside = i >= first && i < first + c.row_len;
            ASSERT_EQ(space[i], inside ? source[i - first] : before[i])
                << "row " << c.row_len << " misalign " << c.misalign << " byte " << i;
        }
    }
}

// Every kernel set converts like block_to_words / words_to_block, block by
// block: rows written span after span (each span a run of whole blocks but the
// last, as tiles are) at every alignment get exactly their words, and nothing
// around them is touched.
TEST(JamLayout, KernelSetsConvertLikeThePlainFunctions) {
    struct Case {
        std::size_t row_len;
        std::size_t span;  // bytes per tile, a multiple of 64
    };
    const Case cases[] = {{2, 64},      {62, 64},     {66, 64},       {130, 128},    {200, 64},
                          {1026, 1024}, {4096, 1024}, {4098, 512},    {5000, 4096},  {49058, 1024}};
    std::mt19937 rng(6);
    for (const LayoutKernels* kernels : available_layout_kernels()) {
        for (const Case& c : cases) {
            const std::size_t blocks = (c.row_len + BLOCK_BYTES - 1) / BLOCK_BYTES;
            const Bytes chunks = random_bytes(rng, blocks * BLOCK_BYTES);
            Bytes words(c.row_len);
            for (std::size_t b = 0; b < blocks; ++b) {
                block_to_words(chunks.data() + b * BLOCK_BYTES, std::min(BLOCK_BYTES, c.row_len - b * BLOCK_BYTES),
                               words.data() + b * BLOCK_BYTES);
            }
            Bytes back(blocks * BLOCK_BYTES + 1, 0xEE);
            kernels->words_to_blocks(words.data(), c.row_len, back.data());
            for (std::size_t b = 0; b < blocks; ++b) {
                std::uint8_t expected[BLOCK_BYTES];
                const std::size_t count = std::min(BLOCK_BYTES, c.row_len - b * BLOCK_BYTES);
                words_to_block(words.data() + b * BLOCK_BYTES, count, expected);
                ASSERT_TRUE(std::equal(expected, expected + BLOCK_BYTES, back.begin() + b * BLOCK_BYTES))
                    << kernels->name << " row " << c.row_len << " block " << b;
            }
            ASSERT_EQ(back.back(), 0xEE) << kernels->name << " wrote past the blocks";

            for (std::size_t misalign = 0; misalign < BLOCK_BYTES; ++misalign) {
                constexpr std::size_t GUARD = 128;
                Bytes space(c.row_len + 2 * GUARD + 64, 0xA5);
                auto* const aligned = reinterpret_cast<std::uint8_t*>(
                    (reinterpret_cast<std::uintptr_t>(space.data()) + GUARD + 63) / 64 * 64);
                std::uint8_t* const row = aligned + misalign;
                const Bytes before = space;
                RowStream stream;
                for (std::size_t offset = 0; offset < c.row_len; offset += c.span) {
                    const std::size_t count = std::min(c.span, c.row_len - offset);
                    kernels->blocks_to_words_streamed(chunks.data() + offset, count, stream, row, offset,
                                                      offset + count == c.row_len);
                }
                store_fence();
                const std::size_t first = static_cast<std::size_t>(row - space.data());
                for (std::size_t i = 0; i < space.size(); ++i) {
                    const bool inside = i >= first && i < first + c.row_len;
                    ASSERT_EQ(space[i], inside ? words[i - first] : before[i])
                        << kernels->name << " row " << c.row_len << " misalign " << misalign << " byte " << i;
                }
            }
        }
    }
}

TEST(JamEncode, WorkedExamples) {
    struct Case {
        Bytes data;
        std::uint64_t orig, rec;
        std::vector<Bytes> shards;
    };
    const Case cases[] = {
        {{1, 2, 3, 4, 5}, 2, 1, {{1, 2, 3, 4}, {5, 0, 0, 0}, {4, 2, 3, 4}}},
        {{1, 0, 2, 0, 3, 0}, 3, 2, {{1, 0}, {2, 0}, {3, 0}, {0x0C, 0}, {0x0C, 0}}},
        {{1, 0, 2, 0}, 2, 3, {{1, 0}, {2, 0}, {0, 0}, {3, 0}, {0x0E, 0}}},
        {{1, 2, 3, 4, 5, 6, 7, 8}, 2, 2, {{1, 2, 3, 4}, {5, 6, 7, 8}, {0x35, 0x09, 0x49, 0x01}, {0x31, 0x0D, 0x4D, 0x0D}}},
        {{0xAB}, 1, 1, {{0xAB, 0}, {0xAB, 0}}},
        {{}, 2, 3, {{}, {}, {}, {}, {}}},
    };
    for (const Case& c : cases) {
        auto shards = encode(c.data, c.orig, c.rec);
        ASSERT_TRUE(shards.has_value());
        EXPECT_EQ(*shards, c.shards);
    }
}

TEST(JamDecode, WorkedExamples) {
    auto from_part = decode(std::vector<IndexedShard>{{{5, 0, 0, 0}, 1}, {{4, 2, 3, 4}, 2}}, 2, 1);
    ASSERT_TRUE(from_part.has_value());
    EXPECT_EQ(*from_part, (Bytes{1, 2, 3, 4, 5, 0, 0, 0}));
    auto from_recovery =
        decode(std::vector<IndexedShard>{{{0x35, 0x09, 0x49, 0x01}, 2}, {{0x31, 0x0D, 0x4D, 0x0D}, 3}}, 2, 2);
    ASSERT_TRUE(from_recovery.has_value());
    EXPECT_EQ(*from_recovery, (Bytes{1, 2, 3, 4, 5, 6, 7, 8}));
}

struct Counts {
    std::uint64_t orig, rec;
};

// Both rates, tiny and large counts, and sizes that leave partial blocks and
// partial tiles (large counts make tiles only a few blocks wide).
const Counts ROUND_TRIP_COUNTS[] = {{1, 1}, {1, 3}, {3, 1}, {3, 2}, {2, 3}, {7, 9}, {64, 32}, {342, 681}, {684, 342}, {2500, 700}, {700, 2500}};

TEST(JamDifferential, EncodeMatchesWordRoad) {
    std::mt19937 rng(42);
    for (const Counts c : ROUND_TRIP_COUNTS) {
        const std::size_t unit = 2 * c.orig;
        const std::size_t max_words = c.orig >= 2500 || c.rec >= 2500 ? 330 : 200;
        for (std::size_t n : {std::size_t{0}, std::size_t{1}, unit - 1, unit, unit * 31 + 3, unit * 33,
                              unit * max_words - 1}) {
            const Bytes data = random_bytes(rng, n);
            const auto expected = word_road::encode(data, c.orig, c.rec);
            const auto actual = batched_encode(data, c.orig, c.rec);
            ASSERT_EQ(describe(actual), describe(expected)) << c.orig << "," << c.rec << " n=" << n;
            ASSERT_TRUE(std::get<0>(actual) == std::get<0>(expected)) << c.orig << "," << c.rec << " n=" << n;
        }
    }
}

TEST(JamDifferential, EncodeFailuresMatchWordRoad) {
    const Counts bad[] = {{0, 1}, {0, 0}, {1, 0}, {5, 0}, {65536, 1}, {32769, 32768}, {std::uint64_t{1} << 63, 1},
                          {std::uint64_t{1} << 40, 3}, {3, std::uint64_t{1} << 40}};
    for (const Counts c : bad) {
        for (const Bytes& data : {Bytes{}, Bytes{1, 2, 3}}) {
            const auto expected = word_road::encode(data, c.orig, c.rec);
            ASSERT_NE(describe(expected), "value");
            const auto actual = batched_encode(data, c.orig, c.rec);
            if (auto* error = std::get_if<codec::Error>(&expected)) {
                ASSERT_TRUE(std::holds_alternative<codec::Error>(actual)) << describe(actual);
                EXPECT_EQ(std::get<codec::Error>(actual), *error);
            } else {
                EXPECT_EQ(describe(actual), describe(expected));
                EXPECT_EQ(std::get<std::string>(actual), std::get<std::string>(expected));
            }
        }
    }
}

std::vector<IndexedShard> pick_shards(std::mt19937& rng, const std::vector<Bytes>& all, std::size_t count) {
    std::vector<std::size_t> indices(all.size());
    std::iota(indices.begin(), indices.end(), 0);
    std::shuffle(indices.begin(), indices.end(), rng);
    std::vector<IndexedShard> picked;
    for (std::size_t i = 0; i < count; ++i) picked.push_back({all[indices[i]], indices[i]});
    return picked;
}

TEST(JamDifferential, DecodeRestoresFromAnySufficientSet) {
    std::mt19937 rng(7);
    for (const Counts c : ROUND_TRIP_COUNTS) {
        for (std::size_t n : {std::size_t{1}, 2 * c.orig * 40 + 5, 2 * c.orig * 70}) {
            Bytes data = random_bytes(rng, n);
            auto shards = encode(data, c.orig, c.rec);
            ASSERT_TRUE(shards.has_value());
            data.resize(shards->front().size() * c.orig, 0);
            for (int trial = 0; trial < 2; ++trial) {
                const auto picked = pick_shards(rng, *shards, c.orig);
                const auto actual = batched_decode(picked, c.orig, c.rec);
                ASSERT_EQ(describe(actual), "value") << describe(actual);
                ASSERT_TRUE(std::get<Bytes>(actual) == data) << c.orig << "," << c.rec << " n=" << n;
                if (c.orig + c.rec <= 1500) {
                    ASSERT_TRUE(std::get<Bytes>(word_road::decode(picked, c.orig, c.rec)) == data);
                }
            }
        }
    }
}

TEST(JamDifferential, DecodeFailuresMatchWordRoad) {
    std::mt19937 rng(9);
    const std::uint64_t orig = 3, rec = 3;
    auto encoded = encode(random_bytes(rng, 6 * 50), orig, rec);
    ASSERT_TRUE(encoded.has_value());
    const std::vector<Bytes>& s = *encoded;  // 100-byte shards
    const std::vector<std::vector<IndexedShard>> inputs = {
        {},
        {{cut(s[0], 0), 0}},
        {{s[0], 0}, {cut(s[1], 1), 1}, {s[2], 2}},
        {{s[0], 0}, {cut(s[1], 40), 1}, {cut(s[2], 30), 2}},
        {{s[0], 0}, {cut(s[1], 31), 1}, {cut(s[2], 30), 2}},
        {{cut(s[0], 99), 0}, {cut(s[1], 99), 1}, {cut(s[2], 99), 2}},
        {{cut(s[0], 99), 0}, {s[1], 1}, {s[2], 2}},
        {{s[0], 0}, {s[0], 0}, {s[1], 1}},
        {{s[3], 3}, {s[4], 4}, {s[3], 3}},
        {{s[0], 0}, {s[1], 1}, {s[5], 6}},
        {{s[0], 0}, {s[1], 1}},
        {{s[0], 0}, {cut(s[1], 20), 1}},
        {{s[0], 0}, {cut(s[1], 1), 1}, {s[2], 9}},
        {{s[0], 0}, {s[2], 9}, {cut(s[1], 1), 1}},
        {{s[0], 0}, {cut(s[1], 10), 1}, {s[0], 0}},
        {{cut(s[0], 10), 0}, {s[1], 1}, {s[2], 2}},
        {{s[4], 4}, {cut(s[1], 0), 1}, {s[2], 2}, {s[3], 3}},
        {{s[0], 0}, {s[1], 1}, {s[2], 2}, {cut(s[3], 50), 3}, {s[4], 4}},
    };
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        for (const Counts c : {Counts{orig, rec}, Counts{0, 3}, Counts{3, 0}}) {
            const auto expected = word_road::decode(inputs[i], c.orig, c.rec);
            const auto actual = batched_decode(inputs[i], c.orig, c.rec);
            ASSERT_EQ(describe(actual), describe(expected)) << "input " << i;
            if (auto* text = std::get_if<std::string>(&expected)) {
                EXPECT_EQ(std::get<std::string>(actual), *text);
            } else if (auto* error = std::get_if<codec::Error>(&expected)) {
                EXPECT_EQ(std::get<codec::Error>(actual), *error);
            } else {
                EXPECT_TRUE(std::get<Bytes>(actual) == std::get<Bytes>(expected));
            }
        }
    }
}

TEST(JamMultiEncoder, MatchesEncodeInInputOrder) {
    std::mt19937 rng(5);
    std::vector<Bytes> segments;
    for (std::size_t i = 0; i < 40; ++i) segments.push_back(random_bytes(rng, rng() % 3000));
    segments.push_back({});
    auto batch = multi_encoder(segments, 5, 7);
    ASSERT_TRUE(batch.has_value());
    ASSERT_EQ(batch->size(), segments.size());
    for (std::size_t i = 0; i < segments.size(); ++i) {
        EXPECT_EQ((*batch)[i], *encode(segments[i], 5, 7)) << "segment " << i;
    }
}

// Decodes spanning many tiles run every tile through one decoder with the
// same received set, the last tile with a smaller shard size.
TEST(JamDifferential, DecodeAcrossManyTiles) {
    std::mt19937 rng(13);
    for (const Counts c : {Counts{342, 681}, Counts{64, 32}, Counts{10, 4}, Counts{3, 5}}) {
        const std::size_t blocks = c.orig >= 64 ? 300 : 2100;
        Bytes data = random_bytes(rng, 2 * c.orig * (WORDS_PER_BLOCK * blocks + 5) + 1);
        auto shards = encode(data, c.orig, c.rec);
        ASSERT_TRUE(shards.has_value());
        data.resize(shards->front().size() * c.orig, 0);
        for (int trial = 0; trial < 2; ++trial) {
            const auto actual = batched_decode(pick_shards(rng, *shards, c.orig), c.orig, c.rec);
            ASSERT_EQ(describe(actual), "value") << describe(actual);
            ASSERT_TRUE(std::get<Bytes>(actual) == data) << c.orig << "," << c.rec;
        }
    }
}

// Segment lengths in words per shard: empty, tiny, small (shorter than one
// block, so packed with neighbours), exactly one block, and several blocks;
// long runs of small ones fill more than one pack.
std::vector<Bytes> mixed_segments(std::mt19937& rng, std::uint64_t orig) {
    const std::size_t unit = 2 * orig;
    const auto of_words = [&](std::size_t words) {
        // A ragged tail: the last word of the last shard only partly given.
        return random_bytes(rng, words == 0 ? 0 : unit * (words - 1) + 1 + rng() % unit);
    };
    std::vector<Bytes> segments;
    const std::size_t pattern[] = {6, 0, 1, 31, 32, 6, 6, 100, 0, 0, 3, 31, 31, 33, 1};
    for (const std::size_t words : pattern) segments.push_back(of_words(words));
    for (std::size_t i = 0; i < 120; ++i) segments.push_back(of_words(rng() % 12 == 0 ? 0 : 1 + rng() % 31));
    segments.push_back(of_words(70));
    segments.push_back(of_words(6));
    return segments;
}

TEST(JamMultiEncoder, PackedSegmentsMatchSingleEncodes) {
    std::mt19937 rng(17);
    for (const Counts c : {Counts{342, 681}, Counts{3, 2}, Counts{2, 3}, Counts{1, 1}, Counts{64, 32}, Counts{700, 2500}}) {
        const std::vector<Bytes> segments = mixed_segments(rng, c.orig);
        auto batch = multi_encoder(segments, c.orig, c.rec);
        ASSERT_TRUE(batch.has_value()) << c.orig << "," << c.rec;
        ASSERT_EQ(batch->size(), segments.size());
        for (std::size_t i = 0; i < segments.size(); ++i) {
            const auto single = encode(segments[i], c.orig, c.rec);
            ASSERT_TRUE(single.has_value());
            ASSERT_EQ((*batch)[i], *single) << c.orig << "," << c.rec << " segment " << i;
        }
        // The first few small ones also straight against the word road.
        for (std::size_t i = 0; i < 4; ++i) {
            const auto road = word_road::encode(segments[i], c.orig, c.rec);
            ASSERT_TRUE(std::get<0>(road) == (*batch)[i]) << c.orig << "," << c.rec << " segment " << i;
        }
    }
}

// Packing does not change what a failing batch reports.
TEST(JamMultiEncoder, MixedBatchFailures) {
    std::mt19937 rng(19);
    const std::vector<Bytes> segments = mixed_segments(rng, 3);
    struct Case {
        std::uint64_t orig, rec;
        std::optional<codec::Error> error;  // otherwise the internal failure
    };
    const Case cases[] = {
        {3, 0, codec::Error::unsupported_shard_count(3, 0)},
        {65536, 1, codec::Error::unsupported_shard_count(65536, 1)},
        {32769, 32768, codec::Error::unsupported_shard_count(32769, 32768)},
        {0, 3, std::nullopt},
        {std::uint64_t{1} << 63, 1, std::nullopt},
    };
    for (const Case& c : cases) {
        try {
            auto batch = multi_encoder(segments, c.orig, c.rec);
            ASSERT_TRUE(c.error.has_value()) << "no internal failure for " << c.orig << "," << c.rec;
            ASSERT_FALSE(batch.has_value());
            EXPECT_EQ(batch.error(), *c.error);
        } catch (const InternalFailure& failure) {
            ASSERT_FALSE(c.error.has_value()) << failure.what();
            EXPECT_STREQ(failure.what(), "attempt to calculate the remainder with a divisor of zero");
        }
    }
}

TEST(JamMultiEncoder, Failures) {
    const std::vector<Bytes> none;
    auto empty = multi_encoder(none, 0, 0);
    ASSERT_TRUE(empty.has_value());
    EXPECT_TRUE(empty->empty());

    const std::vector<Bytes> segments(9, Bytes{1, 2, 3});
    auto unsupported = multi_encoder(segments, 3, 0);
    ASSERT_FALSE(unsupported.has_value());
    EXPECT_EQ(unsupported.error(), codec::Error::unsupported_shard_count(3, 0));
    try {
        (void)multi_encoder(segments, 0, 3);
        FAIL() << "no internal failure";
    } catch (const InternalFailure& failure) {
        EXPECT_STREQ(failure.what(), "attempt to calculate the remainder with a divisor of zero");
    }
    // The pool stays usable after a failure.
    EXPECT_TRUE(multi_encoder(segments, 2, 1).has_value());
}

// ---- Coding into caller storage ----

template <class T, class Fn>
Outcome<T> capture(Fn&& fn) {
    try {
        auto result = fn();
        if (!result) return result.error();
        return T(std::move(*result));
    } catch (const InternalFailure& failure) {
        return std::string(failure.what());
    }
}

template <class A, class B>
void expect_same_failure(const Outcome<A>& actual, const Outcome<B>& expected, const std::string& where) {
    ASSERT_EQ(describe(actual), describe(expected)) << where;
    if (auto* error = std::get_if<codec::Error>(&expected)) {
        EXPECT_EQ(std::get<codec::Error>(actual), *error) << where;
    }
    if (auto* text = std::get_if<std::string>(&expected)) {
        EXPECT_EQ(std::get<std::string>(actual), *text) << where;
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
    Bytes shard(std::size_t k) const { return Bytes(rows[k], rows[k] + len); }
    bool guards_intact() const {
        for (std::uint8_t* row : rows) {
            if (std::any_of(row + len, row + len + GUARD, [](std::uint8_t b) { return b != DIRTY; })) return false;
        }
        return true;
    }
    std::size_t len;
    Bytes storage;
    std::vector<std::uint8_t*> rows;
};

TEST(JamInto, EncodeIntoDirtyStorageMatchesWordRoad) {
    std::mt19937 rng(23);
    for (const Counts c : {Counts{1, 1}, Counts{3, 2}, Counts{2, 3}, Counts{7, 9}, Counts{342, 681}, Counts{700, 2500}}) {
        const std::size_t unit = 2 * c.orig;
        for (std::size_t n : {std::size_t{0}, std::size_t{1}, unit - 1, unit * 33 + 1, unit * 70}) {
            const Bytes data = random_bytes(rng, n);
            const auto expected = word_road::encode(data, c.orig, c.rec);
            const auto& shards = std::get<std::vector<Bytes>>(expected);
            const auto planned = plan_encode(n, c.orig, c.rec);
            ASSERT_TRUE(planned.has_value());
            ASSERT_EQ(*planned, shards.front().size()) << c.orig << "," << c.rec << " n=" << n;
            DirtyOutputs out(c.orig + c.rec, *planned);
            ASSERT_TRUE(encode_into(data, c.orig, c.rec, out.rows).has_value());
            for (std::size_t k = 0; k < shards.size(); ++k) {
                ASSERT_EQ(out.shard(k), shards[k]) << c.orig << "," << c.rec << " n=" << n << " shard " << k;
            }
            ASSERT_TRUE(out.guards_intact()) << c.orig << "," << c.rec << " n=" << n;
        }
    }
}

// The plan reports exactly what the operation fails with, before any storage
// exists: huge counts give the codec error, not an allocation.
TEST(JamInto, EncodePlanFailsAsWordRoad) {
    const Counts bad[] = {{0, 1}, {0, 0}, {1, 0}, {65536, 1}, {32769, 32768}, {std::uint64_t{1} << 63, 1},
                          {std::uint64_t{1} << 40, 3}, {3, std::uint64_t{1} << 40}, {~std::uint64_t{0}, 1}};
    for (const Counts c : bad) {
        const std::string where = std::to_string(c.orig) + "," + std::to_string(c.rec);
        const auto expected = word_road::encode(Bytes{1, 2, 3}, c.orig, c.rec);
        expect_same_failure(capture<std::size_t>([&] { return plan_encode(3, c.orig, c.rec); }), expected, where);
        const Bytes data{1, 2, 3};
        expect_same_failure(capture<bool>([&]() -> codec::Result<bool> {
                                if (auto r = encode_into(data, c.orig, c.rec, {}); !r) return std::unexpected(r.error());
                                return true;
                            }),
                            expected, where);
        expect_same_failure(capture<bool>([&]() -> codec::Result<bool> {
                                if (auto r = plan_multi_encode(1, c.orig, c.rec); !r) return std::unexpected(r.error());
                                return true;
                            }),
                            expected, where);
    }
    // An empty batch checks nothing.
    EXPECT_TRUE(plan_multi_encode(0, 0, 0).has_value());
    EXPECT_TRUE(multi_encode_into({}, 0, 0, {}).has_value());
}

std::vector<ShardView> views_of(const std::vector<IndexedShard>& shards) {
    std::vector<ShardView> views;
    for (const IndexedShard& shard : shards) views.push_back({shard.bytes, shard.index});
    return views;
}

TEST(JamInto, DecodeIntoDirtyStorageMatchesWordRoad) {
    std::mt19937 rng(29);
    for (const Counts c : {Counts{1, 1}, Counts{3, 2}, Counts{2, 3}, Counts{7, 9}, Counts{342, 681}}) {
        for (std::size_t n : {std::size_t{1}, 2 * c.orig * 33 + 3, 2 * c.orig * 70}) {
            const auto shards = *encode(random_bytes(rng, n), c.orig, c.rec);
            for (const std::size_t count : {c.orig, std::min(c.orig + 2, c.orig + c.rec)}) {
                auto picked = pick_shards(rng, shards, count);
                const auto expected = word_road::decode(picked, c.orig, c.rec);
                const Bytes& data = std::get<Bytes>(expected);
                // Shards longer than the first are read only up to its length.
                for (std::size_t i = 1; i < picked.size(); i += 2) picked[i].bytes.push_back(0x77);
                const auto views = views_of(picked);
                const auto planned = plan_decode(views, c.orig, c.rec);
                ASSERT_TRUE(planned.has_value());
                ASSERT_EQ(*planned, data.size());
                DirtyOutputs out(1, *planned);
                ASSERT_TRUE(decode_into(views, c.orig, c.rec, out.rows.front()).has_value());
                ASSERT_TRUE(out.shard(0) == data) << c.orig << "," << c.rec << " n=" << n << " count=" << count;
                ASSERT_TRUE(out.guards_intact()) << c.orig << "," << c.rec << " n=" << n;
            }
        }
    }
}

TEST(JamInto, DecodePlanFailsAsWordRoad) {
    std::mt19937 rng(31);
    const auto s = *encode(random_bytes(rng, 6 * 20), 3, 3);  // 40-byte shards
    const std::vector<std::vector<IndexedShard>> inputs = {
        {},
        {{cut(s[0], 0), 0}},
        {{s[0], 0}, {cut(s[1], 1), 1}, {s[2], 2}},
        {{s[0], 0}, {cut(s[1], 30), 1}, {cut(s[2], 20), 2}},
        {{cut(s[0], 39), 0}, {s[1], 1}, {s[2], 2}},
        {{s[0], 0}, {s[0], 0}, {s[1], 1}},
        {{s[3], 3}, {s[4], 4}, {s[3], 3}},
        {{s[0], 0}, {s[1], 1}, {s[5], 6}},
        {{s[0], 0}, {s[1], 1}},
        {{s[0], 0}, {s[2], 9}, {cut(s[1], 1), 1}},
    };
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        for (const Counts c : {Counts{3, 3}, Counts{0, 3}, Counts{3, 0}, Counts{std::uint64_t{1} << 40, 3}}) {
            const std::string where = "input " + std::to_string(i) + " counts " + std::to_string(c.orig) + "," +
                                      std::to_string(c.rec);
            const auto expected = word_road::decode(inputs[i], c.orig, c.rec);
            const auto views = views_of(inputs[i]);
            const auto planned = capture<std::size_t>([&] { return plan_decode(views, c.orig, c.rec); });
            if (auto* data = std::get_if<Bytes>(&expected)) {
                ASSERT_EQ(describe(planned), "value") << where;
                EXPECT_EQ(std::get<std::size_t>(planned), data->size()) << where;
                continue;
            }
            expect_same_failure(planned, expected, where);
            expect_same_failure(capture<bool>([&]() -> codec::Result<bool> {
                                    if (auto r = decode_into(views, c.orig, c.rec, nullptr); !r) {
                                        return std::unexpected(r.error());
                                    }
                                    return true;
                                }),
                                expected, where);
        }
    }
}

// Batches write shard k of segment s to output s * (orig + rec) + k, packed
// or not, and leave every neighbouring byte alone.
TEST(JamInto, MultiEncodeIntoDirtyStorageMatchesEncode) {
    std::mt19937 rng(37);
    for (const Counts c : {Counts{342, 681}, Counts{3, 2}, Counts{1, 1}, Counts{64, 32}}) {
        const std::vector<Bytes> segments = mixed_segments(rng, c.orig);
        const std::size_t count = c.orig + c.rec;
        std::vector<std::span<const std::uint8_t>> views(segments.begin(), segments.end());
        std::vector<DirtyOutputs> outs;
        std::vector<std::uint8_t*> rows;
        for (const Bytes& segment : segments) {
            const auto planned = plan_encode(segment.size(), c.orig, c.rec);
            ASSERT_TRUE(planned.has_value());
            outs.emplace_back(count, *planned);
            rows.insert(rows.end(), outs.back().rows.begin(), outs.back().rows.end());
        }
        ASSERT_TRUE(multi_encode_into(views, c.orig, c.rec, rows).has_value());
        for (std::size_t i = 0; i < segments.size(); ++i) {
            const auto single = *encode(segments[i], c.orig, c.rec);
            for (std::size_t k = 0; k < count; ++k) {
                ASSERT_EQ(outs[i].shard(k), single[k]) << c.orig << "," << c.rec << " segment " << i << " shard " << k;
            }
            ASSERT_TRUE(outs[i].guards_intact()) << c.orig << "," << c.rec << " segment " << i;
        }
        for (std::size_t i = 0; i < 3; ++i) {
            ASSERT_TRUE(std::get<0>(word_road::encode(segments[i], c.orig, c.rec)) == *encode(segments[i], c.orig, c.rec));
        }
    }
}

}  // namespace
}  // namespace ondrel::jam
