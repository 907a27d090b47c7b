#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <optional>
#include <random>

#include "codec/engine/failure.hpp"
#include "jam_word_road.hpp"
#include "src/jam.hpp"
#include "src/jam_layout.hpp"

namespace ondrel::jam {
namespace {

using word_road::Outcome;

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
    auto cut = [](Bytes b, std::size_t len) {
        b.resize(len);
        return b;
    };
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

}  // namespace
}  // namespace ondrel::jam
