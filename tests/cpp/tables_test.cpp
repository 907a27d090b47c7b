#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "codec/engine/tables.hpp"

namespace ondrel::engine {
namespace {

// Multiplication in the polynomial basis, reduced by the field polynomial.
std::uint32_t poly_mul(std::uint32_t a, std::uint32_t b) {
    std::uint32_t product = 0;
    for (int bit = 0; bit < 16; ++bit) {
        if (b & (1u << bit)) product ^= a << bit;
    }
    for (int bit = 31; bit >= 16; --bit) {
        if (product & (1u << bit)) product ^= GF_POLYNOMIAL << (bit - 16);
    }
    return product;
}

TEST(CantorBasis, EachElementIsTheTraceStepOfTheNext) {
    EXPECT_EQ(CANTOR_BASIS[0], 1);
    for (std::size_t k = 0; k + 1 < CANTOR_BASIS.size(); ++k) {
        const std::uint32_t next = CANTOR_BASIS[k + 1];
        EXPECT_EQ(CANTOR_BASIS[k], poly_mul(next, next) ^ next) << "k = " << k;
    }
}

TEST(LogArithmetic, AddAndSubModulo65535) {
    struct Case {
        GfElement a, b, add, sub;
    };
    const Case cases[] = {
        {0, 65535, 65535, 0},     {65535, 65535, 65535, 0}, {65534, 2, 1, 65532},
        {1, 2, 3, 65534},         {65535, 0, 65535, 65535}, {0, 0, 0, 0},
        {40000, 30000, 4465, 10000},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(add_mod(c.a, c.b), c.add) << c.a << " + " << c.b;
        EXPECT_EQ(sub_mod(c.a, c.b), c.sub) << c.a << " - " << c.b;
    }
}

TEST(ExpLogTables, KnownValues) {
    const ExpLog& t = get_exp_log();
    EXPECT_EQ(t.exp[0], 1);
    EXPECT_EQ(t.exp[65535], 1);
    EXPECT_EQ(t.exp[1], 18064);
    EXPECT_EQ(t.log[0], 65535);
    EXPECT_EQ(t.log[1], 0);
    EXPECT_EQ(t.log[2], 21845);
    EXPECT_EQ(t.log[3], 43690);
}

TEST(ExpLogTables, AreInverseBijections) {
    const ExpLog& t = get_exp_log();
    std::vector<bool> seen(GF_MODULUS, false);
    for (std::uint32_t x = 1; x < GF_ORDER; ++x) {
        const GfElement l = t.log[x];
        ASSERT_LT(l, GF_MODULUS) << "x = " << x;
        ASSERT_FALSE(seen[l]) << "log value repeats: " << l;
        seen[l] = true;
        ASSERT_EQ(t.exp[l], x);
    }
}

TEST(ScalarMul, Identities) {
    EXPECT_EQ(mul(2, get_exp_log().log[2]), 3);
    EXPECT_EQ(mul(1, 21845), 2);
    for (std::uint32_t x = 0; x < GF_ORDER; ++x) {
        ASSERT_EQ(mul(static_cast<GfElement>(x), 0), x);
        ASSERT_EQ(mul(static_cast<GfElement>(x), 65535), x);
        ASSERT_EQ(mul(0, static_cast<GfElement>(x)), 0);
    }
}

TEST(ScalarMul, DistributesOverXorAndAddsLogarithms) {
    std::mt19937 rng(7);
    for (int i = 0; i < 20000; ++i) {
        const auto a = static_cast<GfElement>(rng());
        const auto b = static_cast<GfElement>(rng());
        const auto l1 = static_cast<GfElement>(rng() % GF_MODULUS);
        const auto l2 = static_cast<GfElement>(rng() % GF_MODULUS);
        ASSERT_EQ(mul(a ^ b, l1), mul(a, l1) ^ mul(b, l1));
        ASSERT_EQ(mul(mul(a, l1), l2), mul(a, add_mod(l1, l2)));
    }
}

TEST(SkewTable, ZeroFactorsSitExactlyAtPowersOfTwoMinusOne) {
    const SkewTable& skew = get_skew();
    for (std::size_t i = 0; i < skew.size(); ++i) {
        const bool power_minus_one = ((i + 1) & i) == 0;
        ASSERT_EQ(skew[i] == 65535, power_minus_one) << "index " << i;
    }
    const GfElement first[] = {65535, 65535, 21845, 65535, 17476, 21845, 34952, 65535, 56797};
    for (std::size_t i = 0; i < std::size(first); ++i) EXPECT_EQ(skew[i], first[i]) << "index " << i;
    EXPECT_EQ(skew[65534], 43173);
}

TEST(LogWalshTable, KnownValues) {
    const LogTable& walsh = get_log_walsh();
    EXPECT_EQ(walsh[0], 65535);
    EXPECT_EQ(walsh[1], 8105);
    EXPECT_EQ(walsh[2], 48770);
}

TEST(Mul128Table, LayoutAndKnownRows) {
    const Mul128Table& table = get_mul128();
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(table.data()) % 16, 0u);
    for (unsigned x = 0; x < 16; ++x) {
        EXPECT_EQ(table[0].lo[1][x], 16 * x);
        EXPECT_EQ(table[0].hi[2][x], x);
    }
    const std::uint8_t log1_lo0[16] = {0, 144, 159, 15, 140, 28, 19, 131, 140, 28, 19, 131, 0, 144, 159, 15};
    for (unsigned x = 0; x < 16; ++x) EXPECT_EQ(table[1].lo[0][x], log1_lo0[x]) << "byte " << x;
    for (std::size_t log_m = 0; log_m < GF_ORDER; log_m += 997) {
        for (unsigned r = 0; r < 4; ++r) {
            ASSERT_EQ(table[log_m].lo[r][0], 0);
            ASSERT_EQ(table[log_m].hi[r][0], 0);
        }
    }
}

GfElement nibble_product(const Mul128Entry& entry, GfElement v) {
    unsigned lo = 0, hi = 0;
    for (unsigned r = 0; r < 4; ++r) {
        const unsigned nibble = (v >> (4 * r)) & 0xF;
        lo ^= entry.lo[r][nibble];
        hi ^= entry.hi[r][nibble];
    }
    return static_cast<GfElement>(lo | (hi << 8));
}

TEST(Mul128Table, NibbleProductEqualsScalarMul) {
    const Mul128Table& table = get_mul128();
    std::vector<GfElement> logs = {0, 1, 2, 21845, 43690, 65534, 65535};
    std::mt19937 rng(11);
    for (int i = 0; i < 25; ++i) logs.push_back(static_cast<GfElement>(rng()));
    for (GfElement log_m : logs) {
        for (std::uint32_t v = 0; v < GF_ORDER; ++v) {
            ASSERT_EQ(nibble_product(table[log_m], static_cast<GfElement>(v)),
                      mul(static_cast<GfElement>(v), log_m))
                << "v = " << v << ", log_m = " << log_m;
        }
    }
}

TEST(Fwht, IsTheHadamardTransformModulo65535) {
    // Sparse input so the direct O(n * support) sum is cheap.
    std::mt19937 rng(5);
    std::vector<GfElement> data(GF_ORDER, 0);
    std::vector<std::size_t> support;
    for (int i = 0; i < 12; ++i) {
        const std::size_t p = rng() % 300;
        data[p] = static_cast<GfElement>(rng());
        support.push_back(p);
    }
    std::sort(support.begin(), support.end());
    support.erase(std::unique(support.begin(), support.end()), support.end());
    std::vector<GfElement> transformed = data;
    fwht(std::span<GfElement, GF_ORDER>(transformed.data(), GF_ORDER), 300);
    for (std::size_t k = 0; k < GF_ORDER; k += 37) {
        std::uint64_t sum = 0;
        for (std::size_t j : support) {
            const std::uint64_t v = data[j] % GF_MODULUS;
            sum += (__builtin_popcountll(k & j) % 2) ? GF_MODULUS - v : v;
        }
        ASSERT_EQ(transformed[k] % GF_MODULUS, sum % GF_MODULUS) << "k = " << k;
    }
}

}  // namespace
}  // namespace ondrel::engine
