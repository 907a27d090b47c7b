// Error texts, the count and shard-size rules, the rate choice and the order
// in which every operation checks its inputs.
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <limits>
#include <vector>

#include "codec/error.hpp"
#include "codec/rate/rate_default.hpp"
#include "codec/rate/rate_high.hpp"
#include "codec/rate/rate_low.hpp"
#include "codec/reed_solomon.hpp"
#include "codec_testing.hpp"

namespace ondrel::codec {
namespace {

using namespace testutil;

TEST(ErrorTexts, DisplayAndDebugOfEveryVariant) {
    struct Case {
        Error error;
        const char* display;
        const char* debug;
    };
    const Case cases[] = {
        {Error::different_shard_size(2, 4), "different shard size: expected 2 bytes, got 4 bytes",
         "DifferentShardSize { shard_bytes: 2, got: 4 }"},
        {Error::duplicate_original_shard_index(1), "duplicate original shard index: 1",
         "DuplicateOriginalShardIndex { index: 1 }"},
        {Error::duplicate_recovery_shard_index(7), "duplicate recovery shard index: 7",
         "DuplicateRecoveryShardIndex { index: 7 }"},
        {Error::invalid_original_shard_index(4, 9), "invalid original shard index: 9 >= original_count 4",
         "InvalidOriginalShardIndex { original_count: 4, index: 9 }"},
        {Error::invalid_recovery_shard_index(3, 5), "invalid recovery shard index: 5 >= recovery_count 3",
         "InvalidRecoveryShardIndex { recovery_count: 3, index: 5 }"},
        {Error::invalid_shard_size(63), "invalid shard size: 63 bytes (must non-zero and multiple of 2)",
         "InvalidShardSize { shard_bytes: 63 }"},
        {Error::not_enough_shards(3, 1, 2), "not enough shards: 1 original + 2 recovery < 3 original_count",
         "NotEnoughShards { original_count: 3, original_received_count: 1, recovery_received_count: 2 }"},
        {Error::too_few_original_shards(2, 1), "too few original shards: got 1 shards while original_count is 2",
         "TooFewOriginalShards { original_count: 2, original_received_count: 1 }"},
        {Error::too_many_original_shards(2), "too many original shards: got more than original_count (2) shards",
         "TooManyOriginalShards { original_count: 2 }"},
        {Error::unsupported_shard_count(0, 5), "unsupported shard count: 0 original shards with 5 recovery shards",
         "UnsupportedShardCount { original_count: 0, recovery_count: 5 }"},
        {Error::unsupported_shard_count(18446744073709551615u, 65536),
         "unsupported shard count: 18446744073709551615 original shards with 65536 recovery shards",
         "UnsupportedShardCount { original_count: 18446744073709551615, recovery_count: 65536 }"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.error.display_text(), c.display);
        EXPECT_EQ(c.error.debug_text(), c.debug);
    }
}

TEST(CountRules, DefaultHighAndLowRules) {
    constexpr std::size_t HUGE = std::numeric_limits<std::size_t>::max();
    struct Case {
        std::size_t original_count, recovery_count;
        bool default_rule, high, low;
    };
    const Case cases[] = {
        {1, 1, true, true, true},           {2, 1, true, true, true},
        {1, 2, true, true, true},          {65535, 1, true, true, false},
        {1, 65535, true, false, true},      {32768, 32768, true, true, true},
        {40000, 16384, true, true, false},  {16384, 40000, true, false, true},
        {0, 5, false, false, false},        {5, 0, false, false, false},
        {65536, 1, false, false, false},    {1, 65536, false, false, false},
        {65536, 65536, false, false, false}, {32769, 32768, false, false, false},
        {32768, 32769, false, false, false}, {40000, 16385, false, false, false},
        {65535, 2, false, false, false},    {65534, 3, false, false, false},
        {65534, 2, true, true, false},      {2, 65535, false, false, false},
        {3, 65534, false, false, false},    {HUGE, 1, false, false, false},
        {1, HUGE, false, false, false},     {(std::size_t{1} << 63) + 1, 1, false, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "(" << c.original_count << ", " << c.recovery_count << ")");
        EXPECT_EQ(DefaultRateEncoder::supports(c.original_count, c.recovery_count), c.default_rule);
        EXPECT_EQ(DefaultRateDecoder::supports(c.original_count, c.recovery_count), c.default_rule);
        EXPECT_EQ(HighRateEncoder::supports(c.original_count, c.recovery_count), c.high);
        EXPECT_EQ(HighRateDecoder::supports(c.original_count, c.recovery_count), c.high);
        EXPECT_EQ(LowRateEncoder::supports(c.original_count, c.recovery_count), c.low);
        EXPECT_EQ(LowRateDecoder::supports(c.original_count, c.recovery_count), c.low);
    }
}

// For every original_count the default rule accepts recovery counts up to a
// bound and nothing above; at the bound the chosen rate accepts the pair too.
TEST(CountRules, ChosenRateAcceptsEveryDefaultPair) {
    for (std::size_t oc = 1; oc <= 65536; ++oc) {
        std::size_t lo = 0, hi = 65536;  // largest rc with the rule holding lies in [lo, hi]
        while (lo < hi) {
            const std::size_t mid = (lo + hi + 1) / 2;
            if (default_rate_supports(oc, mid)) lo = mid; else hi = mid - 1;
        }
        if (oc == 65536) {
            ASSERT_EQ(lo, 0u);
            continue;
        }
        ASSERT_GE(lo, 1u) << oc;
        for (std::size_t rc : {std::size_t{1}, lo}) {
            const auto rate = ok(choose_rate(oc, rc));
            ASSERT_TRUE(rate == Rate::High ? HighRateEncoder::supports(oc, rc) : LowRateEncoder::supports(oc, rc))
                << oc << ", " << rc;
        }
        ASSERT_FALSE(default_rate_supports(oc, lo + 1)) << oc;
        ASSERT_EQ(err(choose_rate(oc, lo + 1)), Error::unsupported_shard_count(oc, lo + 1));
    }
}

TEST(ChooseRate, Examples) {
    struct Case {
        std::size_t original_count, recovery_count;
        Rate rate;
    };
    const Case cases[] = {
        {1, 1, Rate::High},         {2, 1, Rate::High},         {1, 2, Rate::Low},
        {3, 2, Rate::High},         {2, 3, Rate::Low},          {3, 4, Rate::High},
        {4, 3, Rate::Low},          {342, 684, Rate::Low},      {684, 342, Rate::High},
        {1023, 1023, Rate::High},   {1024, 1025, Rate::Low},    {65535, 1, Rate::High},
        {1, 65535, Rate::Low},      {32768, 32768, Rate::High},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ok(choose_rate(c.original_count, c.recovery_count)), c.rate)
            << c.original_count << ", " << c.recovery_count;
    }
    EXPECT_EQ(err(choose_rate(0, 5)), Error::unsupported_shard_count(0, 5));
    EXPECT_EQ(err(choose_rate(65536, 1)), Error::unsupported_shard_count(65536, 1));
}

// Creation and reset: counts before shard size, for every kind of object.
TEST(Configuration, CountsAreCheckedBeforeShardSize) {
    struct Case {
        std::size_t original_count, recovery_count, shard_bytes;
        std::optional<Error> error;  // nothing: accepted
    };
    const Case cases[] = {
        {0, 5, 2, Error::unsupported_shard_count(0, 5)},
        {5, 3, 3, Error::invalid_shard_size(3)},
        {5, 0, 3, Error::unsupported_shard_count(5, 0)},
        {5, 3, 0, Error::invalid_shard_size(0)},
        {5, 3, 1, Error::invalid_shard_size(1)},
        {5, 3, 63, Error::invalid_shard_size(63)},
        {65536, 1, 0, Error::unsupported_shard_count(65536, 1)},
        {5, 3, 2, std::nullopt},
        {5, 3, 64, std::nullopt},
        {3, 5, 70, std::nullopt},
    };
    auto check = [](const auto& result, const Case& c) {
        if (c.error) {
            EXPECT_EQ(err(result), *c.error) << c.error->debug_text();
        } else {
            EXPECT_TRUE(result.has_value());
        }
    };
    auto encoder = ok(ReedSolomonEncoder::create(2, 2, 2));
    auto decoder = ok(ReedSolomonDecoder::create(2, 2, 2));
    for (const Case& c : cases) {
        check(ReedSolomonEncoder::create(c.original_count, c.recovery_count, c.shard_bytes), c);
        check(ReedSolomonDecoder::create(c.original_count, c.recovery_count, c.shard_bytes), c);
        check(encoder.reset(c.original_count, c.recovery_count, c.shard_bytes), c);
        check(decoder.reset(c.original_count, c.recovery_count, c.shard_bytes), c);
    }
}

// The rate objects used directly apply their own count rule first.
TEST(Configuration, RateObjectsApplyTheirOwnRule) {
    auto engine = [] { return engine::DefaultEngine::create(); };
    EXPECT_EQ(err(HighRateEncoder::create(1, 65535, 0, engine())), Error::unsupported_shard_count(1, 65535));
    EXPECT_EQ(err(HighRateDecoder::create(65535, 2, 2, engine())), Error::unsupported_shard_count(65535, 2));
    EXPECT_EQ(err(HighRateEncoder::create(65535, 1, 0, engine())), Error::invalid_shard_size(0));
    EXPECT_TRUE(HighRateDecoder::create(65535, 1, 2, engine()).has_value());
    EXPECT_EQ(err(LowRateEncoder::create(65535, 1, 0, engine())), Error::unsupported_shard_count(65535, 1));
    EXPECT_EQ(err(LowRateDecoder::create(2, 65535, 2, engine())), Error::unsupported_shard_count(2, 65535));
    EXPECT_EQ(err(LowRateDecoder::create(1, 65535, 3, engine())), Error::invalid_shard_size(3));
    EXPECT_TRUE(LowRateEncoder::create(1, 65535, 2, engine()).has_value());

    auto high = ok(HighRateEncoder::create(3, 2, 2, engine()));
    EXPECT_EQ(err(high.reset(1, 65535, 2)), Error::unsupported_shard_count(1, 65535));
    EncoderWork work;
    EXPECT_EQ(err(LowRateEncoder::reset_work(65535, 1, 2, work)), Error::unsupported_shard_count(65535, 1));
    EXPECT_EQ(work.original_count(), 0u);  // a failed reset_work leaves the buffer alone
}

TEST(EncoderChecks, OrderAndTexts) {
    auto encoder = ok(ReedSolomonEncoder::create(2, 1, 2));
    EXPECT_EQ(err(encoder.encode()).display_text(), "too few original shards: got 0 shards while original_count is 2");
    EXPECT_EQ(err(encoder.add_original_shard(hex("01 02 03 04"))).debug_text(),
              "DifferentShardSize { shard_bytes: 2, got: 4 }");
    ok(encoder.add_original_shard(hex("01 00")));
    EXPECT_EQ(err(encoder.encode()).display_text(), "too few original shards: got 1 shards while original_count is 2");
    ok(encoder.add_original_shard(hex("02 00")));
    // The count check comes before the size check.
    EXPECT_EQ(err(encoder.add_original_shard(hex("05"))).display_text(),
              "too many original shards: got more than original_count (2) shards");
    {
        auto result = ok(encoder.encode());
        EXPECT_EQ(to_bytes(*result.recovery_iter().next()), hex("03 00"));
    }
    // Releasing the result forgot the originals.
    EXPECT_EQ(err(encoder.encode()), Error::too_few_original_shards(2, 0));
}

TEST(DecoderChecks, OrderAndTexts) {
    auto decoder = ok(ReedSolomonDecoder::create(4, 2, 2));
    const Bytes good = hex("01 00"), bad = hex("01 00 00 00");
    EXPECT_EQ(err(decoder.add_original_shard(4, good)).display_text(),
              "invalid original shard index: 4 >= original_count 4");
    EXPECT_EQ(err(decoder.add_original_shard(4, bad)), Error::invalid_original_shard_index(4, 4));
    EXPECT_EQ(err(decoder.add_recovery_shard(2, bad)), Error::invalid_recovery_shard_index(2, 2));
    EXPECT_EQ(err(decoder.add_original_shard(1, bad)), Error::different_shard_size(2, 4));
    ok(decoder.add_original_shard(1, good));
    EXPECT_EQ(err(decoder.add_original_shard(1, bad)).display_text(), "duplicate original shard index: 1");
    ok(decoder.add_recovery_shard(0, good));
    EXPECT_EQ(err(decoder.add_recovery_shard(0, bad)), Error::duplicate_recovery_shard_index(0));
    EXPECT_EQ(err(decoder.add_recovery_shard(7, good)), Error::invalid_recovery_shard_index(2, 7));
}

TEST(DecoderChecks, NotEnoughShardsThenOneMore) {
    auto encoder = ok(ReedSolomonEncoder::create(3, 2, 2));
    const auto originals = hex_list({"01 00", "02 00", "03 00"});
    const auto recovery = encode_all(encoder, originals);

    for (bool last_is_recovery : {false, true}) {
        auto decoder = ok(ReedSolomonDecoder::create(3, 2, 2));
        ok(decoder.add_original_shard(2, originals[2]));
        EXPECT_EQ(err(decoder.decode()).display_text(),
                  "not enough shards: 1 original + 0 recovery < 3 original_count");
        ok(decoder.add_recovery_shard(0, recovery[0]));
        EXPECT_EQ(err(decoder.decode()).debug_text(),
                  "NotEnoughShards { original_count: 3, original_received_count: 1, recovery_received_count: 1 }");
        if (last_is_recovery) {
            ok(decoder.add_recovery_shard(1, recovery[1]));
        } else {
            ok(decoder.add_original_shard(0, originals[0]));
        }
        auto result = ok(decoder.decode());
        auto iter = result.restored_original_iter();
        std::size_t restored = 0;
        while (auto shard = iter.next()) {
            EXPECT_EQ(to_bytes(shard->bytes), originals[shard->index]);
            ++restored;
        }
        EXPECT_EQ(restored, last_is_recovery ? 2u : 1u);
    }
}

}  // namespace
}  // namespace ondrel::codec
