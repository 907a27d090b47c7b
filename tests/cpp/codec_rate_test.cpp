// Exact recovery and restored bytes of both rates, the shard layout inside the
// codec, rate switching through reset, and kernel independence.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <random>
#include <vector>

#include "codec/rate/rate_default.hpp"
#include "codec/rate/rate_high.hpp"
#include "codec/rate/rate_low.hpp"
#include "codec/reed_solomon.hpp"
#include "codec_testing.hpp"

namespace ondrel::codec {
namespace {

using namespace testutil;

template <class Encoder>
std::vector<Bytes> encode_with(const char* kernel_name, std::size_t oc, std::size_t rc, std::size_t sb,
                               const std::vector<Bytes>& originals) {
    auto encoder = ok(Encoder::create(oc, rc, sb, kernel(kernel_name)));
    return encode_all(encoder, originals);
}

template <class Decoder>
std::map<std::size_t, Bytes> decode_with(const char* kernel_name, std::size_t oc, std::size_t rc, std::size_t sb,
                                         const std::vector<IndexedShard>& shards) {
    auto decoder = ok(Decoder::create(oc, rc, sb, kernel(kernel_name)));
    return decode_all(decoder, oc, shards);
}

struct EncodeExample {
    Rate rate;
    std::size_t oc, rc, sb;
    std::vector<Bytes> originals, recovery;
};

TEST(RateExamples, RecoveryBytes) {
    const EncodeExample examples[] = {
        {Rate::High, 3, 2, 2, hex_list({"01 00", "02 00", "03 00"}), hex_list({"0c 00", "0c 00"})},
        {Rate::High, 3, 2, 4, hex_list({"01 02 03 04", "05 06 07 08", "09 0a 0b 0c"}),
         hex_list({"bc 3f 0b 0c", "b1 31 04 0c"})},
        {Rate::High, 2, 1, 2, hex_list({"01 00", "00 00"}), hex_list({"01 00"})},
        {Rate::High, 2, 1, 2, hex_list({"01 02", "05 00"}), hex_list({"04 02"})},
        {Rate::High, 2, 1, 2, hex_list({"03 04", "00 00"}), hex_list({"03 04"})},
        {Rate::High, 2, 2, 2, hex_list({"01 02", "05 06"}), hex_list({"35 09", "31 0d"})},
        {Rate::High, 2, 2, 2, hex_list({"03 04", "07 08"}), hex_list({"49 01", "4d 0d"})},
        {Rate::Low, 2, 3, 2, hex_list({"01 00", "02 00"}), hex_list({"00 00", "03 00", "0e 00"})},
        {Rate::Low, 1, 2, 2, hex_list({"01 00"}), hex_list({"01 00", "01 00"})},
    };
    for (const char* kernel_name : available_kernels()) {
        for (const auto& e : examples) {
            SCOPED_TRACE(::testing::Message() << kernel_name << " (" << e.oc << ", " << e.rc << ", " << e.sb << ")");
            ASSERT_EQ(ok(choose_rate(e.oc, e.rc)), e.rate);
            const auto direct = e.rate == Rate::High
                                    ? encode_with<HighRateEncoder>(kernel_name, e.oc, e.rc, e.sb, e.originals)
                                    : encode_with<LowRateEncoder>(kernel_name, e.oc, e.rc, e.sb, e.originals);
            EXPECT_EQ(direct, e.recovery);
            EXPECT_EQ(encode_with<ReedSolomonEncoder>(kernel_name, e.oc, e.rc, e.sb, e.originals), e.recovery);
        }
    }
}

TEST(RateExamples, RestoredBytes) {
    struct Example {
        Rate rate;
        std::size_t oc, rc;
        std::vector<IndexedShard> given;  // indices: originals first, then recoveries
        std::map<std::size_t, Bytes> restored;
    };
    const Example examples[] = {
        {Rate::High, 3, 2, {{2, hex("03 00")}, {3, hex("0c 00")}, {4, hex("0c 00")}},
         {{0, hex("01 00")}, {1, hex("02 00")}}},
        {Rate::High, 3, 2, {{4, hex("0c 00")}, {0, hex("01 00")}, {1, hex("02 00")}}, {{2, hex("03 00")}}},
        {Rate::High, 2, 2, {{3, hex("31 0d")}, {2, hex("35 09")}}, {{0, hex("01 02")}, {1, hex("05 06")}}},
        {Rate::Low, 2, 3, {{3, hex("03 00")}, {4, hex("0e 00")}}, {{0, hex("01 00")}, {1, hex("02 00")}}},
        {Rate::Low, 2, 3, {{1, hex("02 00")}, {2, hex("00 00")}}, {{0, hex("01 00")}}},
        {Rate::Low, 1, 2, {{2, hex("01 00")}}, {{0, hex("01 00")}}},
        // Every original given: nothing to restore, whatever else was added.
        {Rate::Low, 2, 3, {{4, hex("0e 00")}, {1, hex("02 00")}, {0, hex("01 00")}}, {}},
    };
    for (const char* kernel_name : available_kernels()) {
        for (const auto& e : examples) {
            SCOPED_TRACE(::testing::Message() << kernel_name << " (" << e.oc << ", " << e.rc << ")");
            ASSERT_EQ(ok(choose_rate(e.oc, e.rc)), e.rate);
            const auto direct = e.rate == Rate::High ? decode_with<HighRateDecoder>(kernel_name, e.oc, e.rc, 2, e.given)
                                                     : decode_with<LowRateDecoder>(kernel_name, e.oc, e.rc, 2, e.given);
            EXPECT_EQ(direct, e.restored);
            EXPECT_EQ(decode_with<ReedSolomonDecoder>(kernel_name, e.oc, e.rc, 2, e.given), e.restored);
        }
    }
}

// Closed forms: with one recovery shard the high rate gives the XOR of all
// originals; with one original the low rate repeats it in every recovery shard.
TEST(RateExamples, SingleRecoveryIsXorAndSingleOriginalIsRepeated) {
    std::mt19937_64 rng(7);
    for (std::size_t oc : {1u, 2u, 5u, 64u, 100u}) {
        const auto originals = random_shards(oc, 70, rng);
        Bytes expected(70, 0);
        for (const Bytes& shard : originals) {
            for (std::size_t b = 0; b < 70; ++b) expected[b] ^= shard[b];
        }
        EXPECT_EQ(encode_with<HighRateEncoder>("scalar", oc, 1, 70, originals), std::vector<Bytes>{expected}) << oc;
    }
    for (std::size_t rc : {1u, 2u, 3u, 17u}) {
        const auto originals = random_shards(1, 70, rng);
        EXPECT_EQ(encode_with<LowRateEncoder>("scalar", 1, rc, 70, originals), std::vector<Bytes>(rc, originals[0]))
            << rc;
    }
}

// Element e of a shard of `sb` bytes: (low byte offset, high byte offset).
std::pair<std::size_t, std::size_t> element_bytes(std::size_t sb, std::size_t e) {
    const std::size_t whole = sb / 64, half = sb % 64 / 2;
    if (e < 32 * whole) return {64 * (e / 32) + e % 32, 64 * (e / 32) + 32 + e % 32};
    const std::size_t j = e - 32 * whole;
    return {64 * whole + j, 64 * whole + half + j};
}

// A code word is formed per element: coding shards of any size gives, element
// by element, what coding each element alone as a 2-byte shard gives. This
// pins the tail split and its undoing on every position the codec hands out.
TEST(ShardLayout, EveryElementIsCodedAlone) {
    std::mt19937_64 rng(11);
    struct Case {
        std::size_t oc, rc;
    };
    for (const Case c : {Case{3, 2}, Case{2, 3}, Case{5, 5}}) {
        for (std::size_t sb : {4u, 62u, 64u, 70u, 128u, 130u}) {
            SCOPED_TRACE(::testing::Message() << "(" << c.oc << ", " << c.rc << "), " << sb << " bytes");
            const auto originals = random_shards(c.oc, sb, rng);
            const auto recovery = encode_with<ReedSolomonEncoder>("scalar", c.oc, c.rc, sb, originals);
            // Decode from the last oc shards of the code word.
            std::vector<IndexedShard> given;
            for (std::size_t i = c.rc; i < c.rc + c.oc; ++i) {
                given.push_back({i, i < c.oc ? originals[i] : recovery[i - c.oc]});
            }
            const auto restored = decode_with<ReedSolomonDecoder>("scalar", c.oc, c.rc, sb, given);
            auto encoder = ok(ReedSolomonEncoder::create(c.oc, c.rc, 2, kernel("scalar")));
            for (std::size_t e = 0; e < sb / 2; ++e) {
                const auto [lo, hi] = element_bytes(sb, e);
                std::vector<Bytes> words;
                for (const Bytes& shard : originals) words.push_back({shard[lo], shard[hi]});
                const auto word_recovery = encode_all(encoder, words);
                for (std::size_t r = 0; r < c.rc; ++r) {
                    ASSERT_EQ(recovery[r][lo], word_recovery[r][0]) << "element " << e << ", recovery " << r;
                    ASSERT_EQ(recovery[r][hi], word_recovery[r][1]) << "element " << e << ", recovery " << r;
                }
            }
            for (const auto& [index, bytes] : restored) EXPECT_EQ(bytes, originals[index]) << index;
            EXPECT_EQ(restored.size(), std::min(c.rc, c.oc));
        }
    }
}

TEST(RateSwitching, ResetKeepsEngineAndBuffer) {
    std::mt19937_64 rng(3);
    const auto data23 = random_shards(2, 64, rng);
    const auto data32 = random_shards(3, 64, rng);
    const auto fresh23 = encode_with<LowRateEncoder>("scalar", 2, 3, 64, data23);
    const auto fresh32 = encode_with<HighRateEncoder>("scalar", 3, 2, 64, data32);

    auto encoder = ok(DefaultRateEncoder::create(2, 3, 64, kernel("scalar")));
    const std::uint8_t* storage = encoder.work().shards().shard_bytes(0).data();
    for (int round = 0; round < 2; ++round) {
        ASSERT_EQ(encoder.rate(), Rate::Low);
        EXPECT_EQ(encode_all(encoder, data23), fresh23);
        ok(encoder.reset(3, 2, 64));
        ASSERT_EQ(encoder.rate(), Rate::High);
        EXPECT_EQ(encode_all(encoder, data32), fresh32);
        ok(encoder.reset(2, 3, 64));
        // Both configurations need 4 positions: the allocation is reused, and
        // the engine handed in at creation is still the one that runs.
        EXPECT_EQ(encoder.work().shards().shard_bytes(0).data(), storage);
        EXPECT_STREQ(encoder.engine().name(), "scalar");
    }

    // The decoder's configurations both need 8 positions.
    auto decoder = ok(DefaultRateDecoder::create(3, 2, 64, kernel("scalar")));
    storage = decoder.work().shards().shard_bytes(0).data();
    for (const Rate expected : {Rate::Low, Rate::High, Rate::Low}) {
        ok(decoder.reset(expected == Rate::Low ? 2 : 3, expected == Rate::Low ? 3 : 2, 64));
        EXPECT_EQ(decoder.rate(), expected);
        EXPECT_EQ(decoder.work().shards().shard_bytes(0).data(), storage);
        EXPECT_STREQ(decoder.engine().name(), "scalar");
    }
    EXPECT_EQ(decode_all(decoder, 2, {{4, fresh23[2]}, {2, fresh23[0]}}),
              (std::map<std::size_t, Bytes>{{0, data23[0]}, {1, data23[1]}}));
}

// A refused reset leaves the previous configuration in force. A bad shard
// size is refused before the inner object is taken out, so it too leaves
// the object usable.
TEST(RateSwitching, FailedResetKeepsConfiguration) {
    const auto originals = hex_list({"01 00", "02 00"});
    const auto expected = hex_list({"00 00", "03 00", "0e 00"});
    auto encoder = ok(ReedSolomonEncoder::create(2, 3, 2));
    auto decoder = ok(ReedSolomonDecoder::create(2, 3, 2));
    struct Case {
        std::size_t oc, rc, sb;
        Error error;
    };
    for (const Case c : {Case{0, 3, 2, Error::unsupported_shard_count(0, 3)},
                         Case{65536, 1, 2, Error::unsupported_shard_count(65536, 1)},
                         Case{3, 2, 3, Error::invalid_shard_size(3)},  // would switch to high rate
                         Case{2, 3, 0, Error::invalid_shard_size(0)}}) {
        EXPECT_EQ(err(encoder.reset(c.oc, c.rc, c.sb)), c.error);
        EXPECT_EQ(err(decoder.reset(c.oc, c.rc, c.sb)), c.error);
        EXPECT_EQ(encoder.rate_encoder().rate(), Rate::Low);
        EXPECT_EQ(encode_all(encoder, originals), expected);
        EXPECT_EQ(decode_all(decoder, 2, {{3, expected[1]}, {4, expected[2]}}),
                  (std::map<std::size_t, Bytes>{{0, originals[0]}, {1, originals[1]}}));
    }
}

// A decoder reused across passes restores exactly what a fresh decoder does,
// whether the counts, the shard size or the set of received shards change
// between passes or stay the same (the erasure locator is kept between them).
struct ReusePass {
    std::size_t oc, rc, sb;
    std::vector<std::size_t> dropped;  // indices in the single index space
};

template <class Encoder, class Decoder>
void check_reused_decoder(const std::vector<ReusePass>& passes) {
    std::mt19937_64 rng(11);
    std::optional<Decoder> reused;
    for (std::size_t i = 0; i < passes.size(); ++i) {
        const ReusePass& pass = passes[i];
        SCOPED_TRACE(::testing::Message() << "pass " << i << " (" << pass.oc << ", " << pass.rc << ", " << pass.sb
                                          << ")");
        const auto originals = random_shards(pass.oc, pass.sb, rng);
        const auto recovery = encode_with<Encoder>("scalar", pass.oc, pass.rc, pass.sb, originals);
        std::vector<IndexedShard> given;
        for (std::size_t index = pass.oc + pass.rc; index-- > 0;) {
            if (std::find(pass.dropped.begin(), pass.dropped.end(), index) != pass.dropped.end()) continue;
            given.push_back({index, index < pass.oc ? originals[index] : recovery[index - pass.oc]});
        }
        std::map<std::size_t, Bytes> expected;
        for (const std::size_t index : pass.dropped) {
            if (index < pass.oc) expected.emplace(index, originals[index]);
        }
        ASSERT_EQ(decode_with<Decoder>("scalar", pass.oc, pass.rc, pass.sb, given), expected);
        if (reused) {
            ok(reused->reset(pass.oc, pass.rc, pass.sb));
        } else {
            reused.emplace(ok(Decoder::create(pass.oc, pass.rc, pass.sb, kernel("scalar"))));
        }
        ASSERT_EQ(decode_all(*reused, pass.oc, given), expected);
    }
}

TEST(DecoderReuse, HighRateMatchesFreshDecoder) {
    check_reused_decoder<HighRateEncoder, HighRateDecoder>({
        {5, 3, 64, {0, 2}},
        {5, 3, 64, {0, 2}},        // same set, new data
        {5, 3, 128, {0, 2}},       // only the shard size changes
        {5, 3, 64, {1, 2}},        // another original missing
        {5, 3, 64, {0, 5}},        // a recovery shard missing instead
        {5, 3, 64, {0, 6}},        // another recovery shard missing
        {5, 4, 64, {0, 2}},        // position 3 now holds a recovery shard
        {6, 3, 64, {0, 2}},        // one original more
        {5, 3, 64, {0, 2}},        // back to the first configuration
        {5, 3, 64, {}},            // nothing missing: no decode at all
        {5, 3, 64, {0, 2}},
        {684, 342, 64, {0, 9, 100, 683, 700}},
        {684, 342, 64, {0, 9, 100, 683, 701}},
        {684, 342, 64, {0, 9, 100, 683}},
    });
}

TEST(DecoderReuse, LowRateMatchesFreshDecoder) {
    check_reused_decoder<LowRateEncoder, LowRateDecoder>({
        {3, 5, 64, {0, 2}},
        {3, 5, 64, {0, 2}},
        {3, 5, 128, {0, 2}},
        {3, 5, 64, {1, 2}},
        {3, 5, 64, {0, 3}},
        {3, 5, 64, {0, 7}},
        {3, 6, 64, {0, 2}},        // one recovery shard more: fewer erased positions
        {4, 5, 64, {0, 2}},        // position 3 now holds an original
        {3, 5, 64, {0, 2}},
        {3, 5, 64, {}},
        {3, 5, 64, {0, 2}},
        {342, 681, 64, {0, 9, 100, 341, 342}},
        {342, 681, 64, {0, 9, 100, 341, 343}},
        {342, 681, 64, {0, 9, 100}},
    });
}

// Through the facade the rate switches between passes; each switch hands the
// work buffer to a decoder of the other rate.
TEST(DecoderReuse, DefaultRateAcrossRateSwitches) {
    check_reused_decoder<DefaultRateEncoder, DefaultRateDecoder>({
        {3, 2, 64, {0, 1}},
        {2, 3, 64, {0, 1}},
        {3, 2, 64, {0, 1}},
        {3, 2, 64, {0, 2}},
        {2, 3, 64, {0, 1}},
        {342, 681, 64, {5, 6, 7}},
        {684, 342, 64, {5, 6, 7}},
        {342, 681, 64, {5, 6, 7}},
    });
}

// Every kernel set computes the same bytes as the scalar reference.
TEST(Kernels, CodecOutputIsKernelIndependent) {
    struct Case {
        std::size_t oc, rc, sb;
    };
    std::mt19937_64 rng(5);
    for (const Case c : {Case{3, 2, 70}, Case{2, 3, 70}, Case{100, 30, 128}, Case{20, 200, 62}, Case{64, 64, 64}}) {
        const auto originals = random_shards(c.oc, c.sb, rng);
        const auto reference = encode_with<DefaultRateEncoder>("scalar", c.oc, c.rc, c.sb, originals);
        // Drop the first min(oc, rc) originals; decode from the rest.
        std::vector<IndexedShard> given;
        for (std::size_t i = std::min(c.oc, c.rc); i < c.oc + c.rc; ++i) {
            given.push_back({i, i < c.oc ? originals[i] : reference[i - c.oc]});
        }
        const auto restored = decode_with<DefaultRateDecoder>("scalar", c.oc, c.rc, c.sb, given);
        for (const auto& [index, bytes] : restored) ASSERT_EQ(bytes, originals[index]);
        for (const char* kernel_name : available_kernels()) {
            SCOPED_TRACE(::testing::Message() << kernel_name << " (" << c.oc << ", " << c.rc << ", " << c.sb << ")");
            EXPECT_EQ(encode_with<DefaultRateEncoder>(kernel_name, c.oc, c.rc, c.sb, originals), reference);
            EXPECT_EQ(decode_with<DefaultRateDecoder>(kernel_name, c.oc, c.rc, c.sb, given), restored);
        }
    }
}

}  // namespace
}  // namespace ondrel::codec
