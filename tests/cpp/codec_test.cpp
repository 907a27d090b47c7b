// The codec: the count rule, the order of its checks, exact bytes of both
// rates, round trips on every kernel set, and reuse of one object across
// passes.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <limits>
#include <numeric>
#include <optional>
#include <random>
#include <tuple>

#include "codec/engine/failure.hpp"
#include "codec/rate/rate_default.hpp"
#include "codec/reed_solomon.hpp"
#include "testing.hpp"

namespace ondrel::codec {
namespace {

using testing::Bytes;
using testing::decode_all;
using testing::encode_all;
using testing::err;
using testing::hex;
using testing::kernel;
using testing::kernel_names;
using testing::ok;
using testing::random_shards;
using Shards = std::map<std::size_t, Bytes>;

// ---- Counts ---------------------------------------------------------------

TEST(CountRule, BoundaryRowsAndRateChoice) {
    constexpr std::size_t HUGE = std::numeric_limits<std::size_t>::max();
    struct Case {
        std::size_t oc, rc;
        std::optional<Rate> rate;  // nothing: unsupported
        bool high, low;            // the rate types' own rules
    };
    // clang-format off
    const Case cases[] = {
        {1, 1, Rate::High, true, true}, {1, 2, Rate::Low, true, true},
        {3, 2, Rate::High, true, true}, {2, 3, Rate::Low, true, true},
        {4, 3, Rate::Low, true, true}, {342, 684, Rate::Low, true, true},
        {1023, 1023, Rate::High, true, true}, {1024, 1025, Rate::Low, true, true},
        {65535, 1, Rate::High, true, false}, {1, 65535, Rate::Low, false, true},
        {32768, 32768, Rate::High, true, true}, {40000, 16384, Rate::High, true, false},
        {0, 5, {}, false, false}, {5, 0, {}, false, false},
        {65536, 1, {}, false, false}, {32769, 32768, {}, false, false},
        {40000, 16385, {}, false, false}, {65535, 2, {}, false, false},
        {HUGE, 1, {}, false, false}, {(std::size_t{1} << 63) + 1, 1, {}, false, false},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "(" << c.oc << ", " << c.rc << ")");
        const Result<Rate> rate = choose_rate(c.oc, c.rc);
        EXPECT_EQ(rate.has_value() ? std::optional(*rate) : std::nullopt, c.rate);
        if (!rate) {
            EXPECT_EQ(rate.error(), Error::unsupported_shard_count(c.oc, c.rc));
        }
        EXPECT_EQ(default_rate_supports(c.oc, c.rc), c.rate.has_value());
        EXPECT_EQ(HighRateEncoder::supports(c.oc, c.rc), c.high);
        EXPECT_EQ(LowRateDecoder::supports(c.oc, c.rc), c.low);
    }
}

// For every original_count the supported recovery counts are 1..bound, and
// the chosen rate accepts every supported pair (checked at both ends).
TEST(CountRule, SupportedPairsFormAPrefixTheChosenRateAccepts) {
    std::size_t bound = 65535;  // shrinks as original_count grows
    for (std::size_t oc = 1; oc <= 65536; ++oc) {
        while (bound > 0 && !default_rate_supports(oc, bound)) --bound;
        ASSERT_FALSE(default_rate_supports(oc, bound + 1)) << oc;
        if (oc == 65536) {
            ASSERT_EQ(bound, 0u);
            break;
        }
        ASSERT_TRUE(bound >= 1 && default_rate_supports(oc, 1)) << oc;
        for (const std::size_t rc : {std::size_t{1}, (bound + 1) / 2, bound}) {
            const Rate rate = ok(choose_rate(oc, rc));
            ASSERT_TRUE(rate == Rate::High ? HighRateEncoder::supports(oc, rc) : LowRateEncoder::supports(oc, rc))
                << oc << ", " << rc;
        }
    }
}

// ---- The order of the checks ------------------------------------------------

// Each row drives fresh objects until the first failing call; the error it
// returns is the one expected (as Python callers see it).
TEST(Checks, FirstFailingCheckDecides) {
    const auto encoder = [](std::size_t oc, std::size_t rc) { return ok(ReedSolomonEncoder::create(oc, rc, 2)); };
    const auto decoder = [](std::size_t oc, std::size_t rc) { return ok(ReedSolomonDecoder::create(oc, rc, 2)); };
    const auto engine = [] { return engine::DefaultEngine::create(); };
    const Bytes w = hex("01 00"), ww = hex("01 00 00 00");
    const std::pair<std::function<Error()>, const char*> cases[] = {
        // Creation and reset: the counts before the shard size.
        {[] { return err(ReedSolomonEncoder::create(0, 5, 3)); },  //
         "UnsupportedShardCount { original_count: 0, recovery_count: 5 }"},
        {[] { return err(ReedSolomonDecoder::create(5, 0, 3)); },  //
         "UnsupportedShardCount { original_count: 5, recovery_count: 0 }"},
        {[] { return err(ReedSolomonDecoder::create(65536, 1, 2)); },  //
         "UnsupportedShardCount { original_count: 65536, recovery_count: 1 }"},
        {[] { return err(ReedSolomonEncoder::create(5, 3, 3)); }, "InvalidShardSize { shard_bytes: 3 }"},
        {[] { return err(ReedSolomonDecoder::create(5, 3, 0)); }, "InvalidShardSize { shard_bytes: 0 }"},
        {[&] { return err(encoder(2, 2).reset(0, 3, 1)); },  //
         "UnsupportedShardCount { original_count: 0, recovery_count: 3 }"},
        {[&] { return err(decoder(2, 2).reset(3, 2, 63)); }, "InvalidShardSize { shard_bytes: 63 }"},
        // The rate types apply their own rule.
        {[&] { return err(HighRateEncoder::create(1, 65535, 0, engine())); },  //
         "UnsupportedShardCount { original_count: 1, recovery_count: 65535 }"},
        {[&] { return err(LowRateDecoder::create(65535, 1, 2, engine())); },  //
         "UnsupportedShardCount { original_count: 65535, recovery_count: 1 }"},
        {[&] { return err(LowRateDecoder::create(1, 65535, 3, engine())); }, "InvalidShardSize { shard_bytes: 3 }"},
        // Encoder: too many before a wrong size; too few at encode.
        {[&] { return err(encoder(2, 1).encode()); },  //
         "TooFewOriginalShards { original_count: 2, original_received_count: 0 }"},
        {[&] { auto e = encoder(2, 1); ok(e.add_original_shard(w)); return err(e.encode()); },  //
         "TooFewOriginalShards { original_count: 2, original_received_count: 1 }"},
        {[&] { return err(encoder(2, 1).add_original_shard(ww)); }, "DifferentShardSize { shard_bytes: 2, got: 4 }"},
        {[&] { auto e = encoder(1, 1); ok(e.add_original_shard(w)); return err(e.add_original_shard(ww)); },  //
         "TooManyOriginalShards { original_count: 1 }"},
        // Decoder: the index, then a duplicate, then the size.
        {[&] { return err(decoder(4, 2).add_original_shard(4, ww)); },  //
         "InvalidOriginalShardIndex { original_count: 4, index: 4 }"},
        {[&] { return err(decoder(4, 2).add_recovery_shard(2, ww)); },  //
         "InvalidRecoveryShardIndex { recovery_count: 2, index: 2 }"},
        {[&] { auto d = decoder(4, 2); ok(d.add_original_shard(1, w)); return err(d.add_original_shard(1, ww)); },  //
         "DuplicateOriginalShardIndex { index: 1 }"},
        {[&] { auto d = decoder(4, 2); ok(d.add_recovery_shard(1, w)); return err(d.add_recovery_shard(1, ww)); },  //
         "DuplicateRecoveryShardIndex { index: 1 }"},
        {[&] { return err(decoder(4, 2).add_recovery_shard(1, ww)); }, "DifferentShardSize { shard_bytes: 2, got: 4 }"},
        {[&] { auto d = decoder(3, 2); ok(d.add_original_shard(2, w)); ok(d.add_recovery_shard(0, w)); return err(d.decode()); },
         "NotEnoughShards { original_count: 3, original_received_count: 1, recovery_received_count: 1 }"},
    };
    for (const auto& [call, debug] : cases) EXPECT_EQ(call().debug_text(), debug);
    EXPECT_EQ(Error::not_enough_shards(3, 1, 2).display_text(), "not enough shards: 1 original + 2 recovery < 3 original_count");
    EXPECT_EQ(Error::invalid_shard_size(63).display_text(), "invalid shard size: 63 bytes (must non-zero and multiple of 2)");
}

// ---- Exact bytes ------------------------------------------------------------

// On every kernel set: recovery shards from the originals, and the missing
// originals from the given shards (indices in the single index space).
TEST(Coding, ExactBytesOfBothRates) {
    struct Case {
        std::size_t oc, rc;
        std::vector<const char*> originals, recovery;
        Shards given;
    };
    const Case cases[] = {
        {3, 2, {"01 00", "02 00", "03 00"}, {"0c 00", "0c 00"}, {{2, hex("03 00")}, {3, hex("0c 00")}, {4, hex("0c 00")}}},
        {3, 2, {"01 02 03 04", "05 06 07 08", "09 0a 0b 0c"}, {"bc 3f 0b 0c", "b1 31 04 0c"},  // 4-byte shards
         {{0, hex("01 02 03 04")}, {4, hex("b1 31 04 0c")}, {3, hex("bc 3f 0b 0c")}}},
        {2, 1, {"01 02", "05 00"}, {"04 02"}, {{2, hex("04 02")}, {1, hex("05 00")}}},
        {2, 2, {"01 02", "05 06"}, {"35 09", "31 0d"}, {{3, hex("31 0d")}, {2, hex("35 09")}}},
        {2, 3, {"01 00", "02 00"}, {"00 00", "03 00", "0e 00"}, {{1, hex("02 00")}, {2, hex("00 00")}}},
        {1, 2, {"01 00"}, {"01 00", "01 00"}, {{2, hex("01 00")}}},
    };
    for (const char* name : kernel_names()) {
        for (const Case& c : cases) {
            SCOPED_TRACE(::testing::Message() << name << " (" << c.oc << ", " << c.rc << ")");
            std::vector<Bytes> originals, recovery;
            for (const char* text : c.originals) originals.push_back(hex(text));
            for (const char* text : c.recovery) recovery.push_back(hex(text));
            const std::size_t sb = originals[0].size();
            Shards missing;
            for (std::size_t i = 0; i < c.oc; ++i) {
                if (!c.given.contains(i)) missing.emplace(i, originals[i]);
            }
            auto encoder = ok(ReedSolomonEncoder::create(c.oc, c.rc, sb, kernel(name)));
            auto decoder = ok(ReedSolomonDecoder::create(c.oc, c.rc, sb, kernel(name)));
            EXPECT_EQ(encode_all(encoder, originals), recovery);
            EXPECT_EQ(decode_all(decoder, c.oc, c.given), missing);
        }
    }
}

// ---- Round trips --------------------------------------------------------------

// original_count shards picked at random from the whole code word.
Shards random_subset(std::size_t oc, const std::vector<Bytes>& originals, const std::vector<Bytes>& recovery,
                     std::mt19937_64& rng) {
    std::vector<std::size_t> indices(originals.size() + recovery.size());
    std::iota(indices.begin(), indices.end(), 0);
    std::shuffle(indices.begin(), indices.end(), rng);
    Shards subset;
    for (std::size_t k = 0; k < oc; ++k) {
        const std::size_t i = indices[k];
        subset.emplace(i, i < oc ? originals[i] : recovery[i - oc]);
    }
    return subset;
}

Shards missing_of(const std::vector<Bytes>& originals, const Shards& given) {
    Shards missing;
    for (std::size_t i = 0; i < originals.size(); ++i) {
        if (!given.contains(i)) missing.emplace(i, originals[i]);
    }
    return missing;
}

// Every kernel set encodes exactly the scalar reference's bytes, and any
// original_count shards restore the missing originals, from the smallest
// counts to both ends of the supported range.
TEST(Coding, EveryKernelSetRoundTripsLikeTheReference) {
    struct Case {
        std::size_t oc, rc;
        std::vector<std::size_t> sizes;
    };
    // clang-format off
    const Case cases[] = {
        {1, 1, {2, 70}}, {1, 3, {2, 64}}, {2, 1, {62, 128}}, {3, 2, {2, 70, 4096}}, {2, 3, {4, 130}}, {5, 5, {70}},
        {100, 7, {64}}, {7, 100, {62}}, {64, 64, {64}}, {342, 681, {2, 70}}, {684, 342, {2, 128}},
        {1024, 1025, {2}}, {65535, 1, {2}}, {1, 65535, {2}}, {32768, 32768, {2}},
    };
    // clang-format on
    std::mt19937_64 rng(2024);
    for (const Case& c : cases) {
        for (const std::size_t sb : c.sizes) {
            SCOPED_TRACE(::testing::Message() << "(" << c.oc << ", " << c.rc << "), " << sb << " bytes");
            const auto originals = random_shards(c.oc, sb, rng);
            std::optional<std::vector<Bytes>> reference;
            for (const char* name : kernel_names()) {
                SCOPED_TRACE(name);
                auto encoder = ok(ReedSolomonEncoder::create(c.oc, c.rc, sb, kernel(name)));
                const auto recovery = encode_all(encoder, originals);
                if (!reference) reference = recovery;
                ASSERT_EQ(recovery, *reference);
                // A random subset, and the hardest case: every recovery shard
                // standing in for as many originals.
                Shards last;
                for (std::size_t i = c.oc + c.rc; last.size() < c.oc; --i) {
                    last.emplace(i - 1, i - 1 < c.oc ? originals[i - 1] : recovery[i - 1 - c.oc]);
                }
                auto decoder = ok(ReedSolomonDecoder::create(c.oc, c.rc, sb, kernel(name)));
                for (const Shards& given : {random_subset(c.oc, originals, recovery, rng), last}) {
                    ASSERT_EQ(decode_all(decoder, c.oc, given), missing_of(originals, given));
                }
            }
        }
    }
}

// ---- Reuse ------------------------------------------------------------------

// One encoder and one decoder driven through a sequence of passes compute
// exactly what fresh objects compute: configurations switch rate, shard size
// and the set of received shards (whose erasure locator is kept between equal
// sets), repeat without a reset, or follow a refused reset, which leaves the
// previous configuration in force.
TEST(Reuse, ReusedObjectsEqualFreshOnes) {
    struct Pass {
        std::size_t oc, rc, sb;
        std::vector<std::size_t> dropped;  // indices in the single index space
        enum { Reset,
               Repeat,
               RefusedReset } how = Reset;
    };
    // clang-format off
    const Pass passes[] = {
        {5, 3, 64, {0, 2}}, {5, 3, 64, {0, 2}, Pass::Repeat}, {5, 3, 128, {0, 2}},
        {5, 3, 64, {1, 2}}, {5, 3, 64, {0, 5}}, {5, 4, 64, {0, 2}},
        {6, 3, 64, {0, 2}}, {5, 3, 64, {}}, {3, 5, 64, {0, 2}},
        {3, 5, 64, {0, 7}}, {3, 6, 64, {0, 2}}, {4, 5, 64, {0, 2}},
        {3, 2, 70, {0, 1}}, {3, 2, 70, {0, 1}, Pass::RefusedReset}, {2, 3, 2, {0, 1}},
        {2, 3, 2, {0, 2}, Pass::RefusedReset}, {100, 20, 130, {1, 9, 50}}, {20, 100, 4096, {0, 19}},
        {342, 681, 64, {0, 9, 100, 341, 342}}, {342, 681, 64, {0, 9, 100, 341, 343}}, {684, 342, 64, {5, 6, 7}},
        {1, 1, 2, {0}},
    };
    // clang-format on
    std::mt19937_64 rng(17);
    auto encoder = ok(ReedSolomonEncoder::create(1, 1, 2, kernel("scalar")));
    auto decoder = ok(ReedSolomonDecoder::create(1, 1, 2, kernel("scalar")));
    for (const Pass& p : passes) {
        SCOPED_TRACE(::testing::Message() << "(" << p.oc << ", " << p.rc << "), " << p.sb << " bytes");
        if (p.how == Pass::Reset) {
            ok(encoder.reset(p.oc, p.rc, p.sb));
            ok(decoder.reset(p.oc, p.rc, p.sb));
        } else if (p.how == Pass::RefusedReset) {
            using Triple = std::tuple<std::size_t, std::size_t, std::size_t>;
            for (const auto& [oc, rc, sb] : {Triple{0, 3, 2}, Triple{65536, 1, 2}, Triple{p.rc, p.oc, 3}, Triple{p.oc, p.rc, 0}}) {
                EXPECT_TRUE(!encoder.reset(oc, rc, sb) && !decoder.reset(oc, rc, sb));
            }
        }
        const auto originals = random_shards(p.oc, p.sb, rng);
        auto fresh = ok(ReedSolomonEncoder::create(p.oc, p.rc, p.sb, kernel("scalar")));
        const auto recovery = encode_all(fresh, originals);
        ASSERT_EQ(encode_all(encoder, originals), recovery);
        Shards given;
        for (std::size_t i = 0; i < p.oc + p.rc; ++i) {
            if (std::find(p.dropped.begin(), p.dropped.end(), i) == p.dropped.end()) {
                given.emplace(i, i < p.oc ? originals[i] : recovery[i - p.oc]);
            }
        }
        ASSERT_EQ(decode_all(decoder, p.oc, given), missing_of(originals, given));
    }
    EXPECT_STREQ(encoder.rate_encoder().engine().name(), "scalar");
    EXPECT_STREQ(decoder.rate_decoder().engine().name(), "scalar");
}

}  // namespace
}  // namespace ondrel::codec
