// The GF(2^16) engine: field tables, CPU decisions and the kernel choice, and
// every kernel set (the scalar reference included) against the operations'
// written-out definitions, with data in guard-page buffers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <optional>
#include <random>
#include <sstream>

#include "codec/engine/engine_default.hpp"
#include "codec/engine/engine_scalar.hpp"
#include "codec/engine/failure.hpp"
#include "testing.hpp"

namespace ondrel::engine {
namespace {

using testing::FencedBuffer;
using testing::kernel;
using testing::kernel_names;

// ---- Field --------------------------------------------------------------

TEST(Field, KnownValuesAndIdentities) {
    const ExpLog& t = get_exp_log();
    const SkewTable& skew = get_skew();
    const LogTable& walsh = get_log_walsh();
    // clang-format off
    const std::pair<unsigned, unsigned> known[] = {
        {t.exp[0], 1}, {t.exp[65535], 1}, {t.exp[1], 18064}, {t.log[0], 65535}, {t.log[1], 0}, {t.log[2], 21845},
        {t.log[3], 43690}, {skew[0], 65535}, {skew[2], 21845}, {skew[4], 17476}, {skew[6], 34952},
        {skew[8], 56797}, {skew[65534], 43173}, {walsh[0], 65535}, {walsh[1], 8105}, {walsh[2], 48770},
        {mul(2, t.log[2]), 3}, {add_mod(0, 65535), 65535}, {add_mod(65535, 65535), 65535}, {add_mod(65534, 2), 1},
        {add_mod(40000, 30000), 4465}, {sub_mod(0, 65535), 0}, {sub_mod(65535, 0), 65535}, {sub_mod(1, 2), 65534},
        {get_mul128()[1].lo[0][1], 144},
    };
    // clang-format on
    for (std::size_t i = 0; i < std::size(known); ++i) EXPECT_EQ(known[i].first, known[i].second) << "row " << i;
    // exp and log are inverse bijections; SKEW marks a zero factor exactly at 2^k - 1.
    std::vector<bool> seen(GF_MODULUS);
    for (std::uint32_t x = 1; x < GF_ORDER; ++x) {
        ASSERT_TRUE(t.log[x] < GF_MODULUS && !seen[t.log[x]] && t.exp[t.log[x]] == x) << x;
        seen[t.log[x]] = true;
        ASSERT_EQ(mul(static_cast<GfElement>(x), 0), x);
        ASSERT_EQ(mul(static_cast<GfElement>(x), 65535), x);
        ASSERT_EQ(mul(0, static_cast<GfElement>(x)), 0);
    }
    for (std::size_t i = 0; i < skew.size(); ++i) ASSERT_EQ(skew[i] == 65535, ((i + 1) & i) == 0) << i;
}

// ---- CPU decisions and the kernel choice ----------------------------------

std::uint64_t FAKE_XCR0 = 0;
unsigned XCR0_READS = 0;
std::uint64_t fake_xcr0() {
    ++XCR0_READS;
    return FAKE_XCR0;
}

TEST(CpuFeatures, DecidedFromRegisterValues) {
    constexpr std::uint32_t XSAVE = 1u << 26, OSXSAVE = 1u << 27, AVX = 1u << 28, ECX1 = XSAVE | OSXSAVE | AVX;
    constexpr std::uint32_t AVX2 = 1u << 5, F = 1u << 16, BW = 1u << 30, VL = 1u << 31, EBX7 = AVX2 | F | BW | VL;
    constexpr std::uint32_t VBMI = 1u << 1, GFNI = 1u << 8, ECX7 = VBMI | GFNI;
    constexpr std::uint64_t YMM = 0b110, ZMM = 0b1110'0110;
    constexpr CpuFeatures A2 = FEATURE_AVX2, GF = FEATURE_AVX512_GFNI, VB = FEATURE_AVX512_VBMI;
    struct Case {
        const char* what;
        std::uint32_t ecx1, ebx7, ecx7;
        std::uint64_t xcr0;
        CpuFeatures expected;
    };
    const Case cases[] = {
        {"everything", ECX1, EBX7, ECX7, ZMM, A2 | GF | VB},
        {"every bit set", ~0u, ~0u, ~0u, ~std::uint64_t{0}, A2 | GF | VB},
        {"AVX2 only", ECX1, AVX2, 0, YMM, A2},
        {"OS saves no AVX-512 state", ECX1, EBX7, ECX7, YMM, A2},
        {"no opmask state", ECX1, EBX7, ECX7, ZMM & ~(1u << 5), A2},
        {"no Hi16_ZMM state", ECX1, EBX7, ECX7, ZMM & ~(1u << 7), A2},
        {"no AVX state", ECX1, EBX7, ECX7, ZMM & ~(1u << 2), 0},
        {"no AVX", ~AVX, EBX7, ECX7, ZMM, 0},
        {"no AVX2", ECX1, ~AVX2, ECX7, ZMM, 0},
        {"no AVX-512F", ECX1, EBX7 & ~F, ECX7, ZMM, A2},
        {"no AVX-512BW", ECX1, EBX7 & ~BW, ECX7, ZMM, A2},
        {"no AVX-512VL: VBMI needs none", ECX1, EBX7 & ~VL, ECX7, ZMM, A2 | VB},
        {"no GFNI", ECX1, EBX7, ~GFNI, ZMM, A2 | VB},
        {"no VBMI", ECX1, EBX7, ~VBMI, ZMM, A2 | GF},
        {"GFNI and VBMI bits in EBX", ECX1, EBX7 | ECX7, 0, ZMM, A2},
    };
    for (const Case& c : cases) {
        FAKE_XCR0 = c.xcr0;
        XCR0_READS = 0;
        EXPECT_EQ(features_from({c.ecx1, c.ebx7, c.ecx7}, fake_xcr0), c.expected) << c.what;
        EXPECT_GT(XCR0_READS, 0u) << c.what;
    }
    // xgetbv faults unless XSAVE and OSXSAVE are both reported: never read then.
    for (const std::uint32_t clear : {XSAVE, OSXSAVE}) {
        XCR0_READS = 0;
        EXPECT_EQ(features_from({ECX1 & ~clear, EBX7, ECX7}, fake_xcr0), 0u);
        EXPECT_EQ(XCR0_READS, 0u);
    }
    // libgcc's detection also checks the operating system's register state.
    __builtin_cpu_init();
    const bool avx512 = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw");
    const CpuFeatures expected = (__builtin_cpu_supports("avx2") ? A2 : 0) |
                                 (avx512 && __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("gfni") ? GF : 0) |
                                 (avx512 && __builtin_cpu_supports("avx512vbmi") ? VB : 0);
    const bool zen4 = __builtin_cpu_is("amdfam19h") != 0;
    EXPECT_EQ(cpu_features(), expected | ((expected & GF) != 0 && zen4 ? CpuFeatures{FEATURE_HALF_WIDTH_512} : 0u));
    EXPECT_EQ(half_width_512(read_cpuid_bits()), zen4);
}

// The vendor strings as cpuid leaf 0 returns them (EBX, EDX, ECX).
constexpr std::uint32_t AMD[3] = {0x68747541, 0x69746E65, 0x444D4163};    // "AuthenticAMD"
constexpr std::uint32_t INTEL[3] = {0x756E6547, 0x49656E69, 0x6C65746E};  // "GenuineIntel"

// Cores that execute 512-bit operations as two halves: AMD family 19h, and
// only reported where the GFNI set runs at all.
TEST(CpuFeatures, HalfWidth512FromVendorAndFamily) {
    struct Case {
        const char* what;
        const std::uint32_t* vendor;
        std::uint32_t leaf1_eax;
        bool half_width;
    };
    const Case cases[] = {
        {"Zen 4 EPYC (family 0Fh + 0Ah, model 11h)", AMD, 0x00A10F11, true},
        {"Zen 5 (family 0Fh + 0Bh)", AMD, 0x00B40F40, false},
        {"Intel with the bits of a Zen 4", INTEL, 0x00A10F11, false},
        {"Sapphire Rapids (family 6)", INTEL, 0x000806F8, false},
        {"extended family ignored below base family 0Fh (9h + 10h)", AMD, 0x01000911, false},
    };
    for (const Case& c : cases) {
        CpuidBits bits;
        bits.leaf1_eax = c.leaf1_eax;
        std::copy(c.vendor, c.vendor + 3, bits.vendor);
        EXPECT_EQ(half_width_512(bits), c.half_width) << c.what;
    }
    FAKE_XCR0 = 0b1110'0110;
    CpuidBits bits{~0u, ~0u, ~0u, 0x00A10F11};
    std::copy(AMD, AMD + 3, bits.vendor);
    constexpr CpuFeatures ALL = FEATURE_AVX2 | FEATURE_AVX512_GFNI | FEATURE_AVX512_VBMI;
    EXPECT_EQ(features_from(bits, fake_xcr0), ALL | FEATURE_HALF_WIDTH_512);
    bits.leaf7_ecx &= ~(1u << 8);  // no GFNI
    EXPECT_EQ(features_from(bits, fake_xcr0), FEATURE_AVX2 | FEATURE_AVX512_VBMI);
}

TEST(KernelChoice, NamedOrBestAndNeverAFallback) {
    constexpr CpuFeatures ALL = FEATURE_AVX2 | FEATURE_AVX512_GFNI | FEATURE_AVX512_VBMI;
    constexpr CpuFeatures HALVES = ALL | FEATURE_HALF_WIDTH_512;
    struct Case {
        const char* forced;
        CpuFeatures cpu;
        const char* set;  // nullptr: refused with `problem`
        CpuFeatures usable;
        const char* problem;
    };
    const Case cases[] = {
        {nullptr, HALVES, "avx512gfni", HALVES, ""},
        {nullptr, ALL, "avx512gfni-zmm", ALL, ""},
        {"", FEATURE_AVX2, "avx2", FEATURE_AVX2, ""},
        {nullptr, FEATURE_AVX512_VBMI, "ssse3", FEATURE_AVX512_VBMI, ""},
        {nullptr, FEATURE_AVX2 | FEATURE_HALF_WIDTH_512, "avx2", FEATURE_AVX2 | FEATURE_HALF_WIDTH_512, ""},
        {"avx512gfni", ALL, "avx512gfni", ALL, ""},
        {"avx512gfni-zmm", HALVES, "avx512gfni-zmm", HALVES, ""},
        {"avx512gfni-zmm", FEATURE_AVX2, nullptr, 0,
         "ONDREL_EC_KERNEL=avx512gfni-zmm: this CPU or operating system cannot run it; this machine runs: avx2, "
         "ssse3, scalar"},
        {"avx2", ALL, "avx2", FEATURE_AVX2, ""},
        {"ssse3", ALL, "ssse3", 0, ""},
        {"scalar", ALL, "scalar", 0, ""},
        {"avx2", FEATURE_AVX512_VBMI, nullptr, 0,
         "ONDREL_EC_KERNEL=avx2: this CPU or operating system cannot run it; this machine runs: ssse3, scalar"},
        {"AVX2", ALL, nullptr, 0,
         "ONDREL_EC_KERNEL=AVX2: no kernel set has this name; this machine runs: avx512gfni, avx512gfni-zmm, avx2, "
         "ssse3, scalar"},
    };
    for (const Case& c : cases) {
        const KernelChoice choice = choose_kernel_set(c.forced, c.cpu);
        const std::string where = std::string(c.forced ? c.forced : "unset") + " on " + std::to_string(c.cpu);
        EXPECT_STREQ(choice.set ? choice.set->name : nullptr, c.set) << where;
        EXPECT_EQ(choice.usable, c.usable) << where;
        EXPECT_EQ(choice.problem, c.problem) << where;
    }
    // This process (ONDREL_EC_KERNEL unset in the test run) uses the best set,
    // and every set it runs can be had by name.
    ASSERT_NE(kernel_choice().set, nullptr) << kernel_choice().problem;
    EXPECT_STREQ(DefaultEngine::create().name(), kernel_choice().set->name);
    EXPECT_STREQ(kernel_names().front(), choose_kernel_set(nullptr, cpu_features()).set->name);
    for (const char* name : kernel_names()) EXPECT_STREQ(kernel(name).name(), name);
    EXPECT_FALSE(DefaultEngine::with_kernel("avx512").has_value());
    EXPECT_EQ(kernel_names().size(), std::size_t{2} + ((cpu_features() & FEATURE_AVX2) != 0) +
                                         2 * ((cpu_features() & FEATURE_AVX512_GFNI) != 0));
}

// ---- Kernels against the definitions --------------------------------------

// Distances of the data's end from the fence; all but 0 start at addresses
// that are not multiples of 16 or 32.
constexpr std::size_t SLACKS[] = {0, 1, 8, 24, 40};

GfElement element(const Chunk& c, std::size_t j) { return static_cast<GfElement>(c.bytes[j] | c.bytes[32 + j] << 8); }
void set_element(Chunk& c, std::size_t j, GfElement v) {
    c.bytes[j] = static_cast<std::uint8_t>(v);
    c.bytes[32 + j] = static_cast<std::uint8_t>(v >> 8);
}

std::vector<Chunk> random_chunks(std::size_t count, std::mt19937& rng) {
    std::vector<Chunk> chunks(count);
    for (Chunk& c : chunks) std::generate(std::begin(c.bytes), std::end(c.bytes), [&] { return rng() & 0xFF; });
    return chunks;
}

// `input` copied into a fenced buffer, `run` on it, compared with `expected`.
template <class Run>
::testing::AssertionResult fenced_equals(const std::vector<Chunk>& input, const std::vector<Chunk>& expected,
                                         std::size_t slack, Run&& run) {
    const FencedBuffer buffer(input.size() * CHUNK_BYTES, slack);
    std::memcpy(buffer.data(), input.data(), input.size() * CHUNK_BYTES);
    run(std::span<Chunk>(reinterpret_cast<Chunk*>(buffer.data()), input.size()));
    if (std::memcmp(buffer.data(), expected.data(), expected.size() * CHUNK_BYTES) == 0) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "bytes differ (slack " << slack << ")";
}

// The transforms written out from their definition, one butterfly at a time
// on the vector of one element position: passes of two layers as four
// butterflies per offset, then the single layer of odd log2(size).
void fft_by_definition(std::vector<GfElement>& v, std::size_t size, std::size_t truncated, std::size_t delta) {
    const SkewTable& skew = get_skew();
    const auto bfly = [&](std::size_t x, std::size_t y, GfElement l) {
        if (l != SKIP_PRODUCT) v[x] ^= mul(v[y], l);
        v[y] ^= v[x];
    };
    std::size_t dist4 = size;
    for (std::size_t dist = size / 4; dist >= 1; dist4 = dist, dist /= 4) {
        for (std::size_t r = 0; r < truncated; r += dist4) {
            const std::size_t base = r + dist + delta - 1;
            for (std::size_t i = r; i < r + dist; ++i) {
                bfly(i, i + 2 * dist, skew[base + dist]);
                bfly(i + dist, i + 3 * dist, skew[base + dist]);
                bfly(i, i + dist, skew[base]);
                bfly(i + 2 * dist, i + 3 * dist, skew[base + 2 * dist]);
            }
        }
    }
    for (std::size_t r = 0; dist4 == 2 && r < truncated; r += 2) bfly(r, r + 1, skew[r + delta]);
}

void ifft_by_definition(std::vector<GfElement>& v, std::size_t size, std::size_t truncated, std::size_t delta) {
    const SkewTable& skew = get_skew();
    const auto bfly = [&](std::size_t x, std::size_t y, GfElement l) {
        v[y] ^= v[x];
        if (l != SKIP_PRODUCT) v[x] ^= mul(v[y], l);
    };
    std::size_t dist = 1;
    for (std::size_t dist4 = 4; dist4 <= size; dist = dist4, dist4 *= 4) {
        for (std::size_t r = 0; r < truncated; r += dist4) {
            const std::size_t base = r + dist + delta - 1;
            for (std::size_t i = r; i < r + dist; ++i) {
                bfly(i, i + dist, skew[base]);
                bfly(i + 2 * dist, i + 3 * dist, skew[base + 2 * dist]);
                bfly(i, i + 2 * dist, skew[base + dist]);
                bfly(i + dist, i + 3 * dist, skew[base + dist]);
            }
        }
    }
    for (std::size_t i = 0; dist < size && i < dist; ++i) bfly(i, i + dist, skew[dist + delta - 1]);
}

// One transform call and what it must leave: a block of `size` shards at
// `pos` (skew_delta 0 at 0, else pos + size, as the codec calls them, unless
// given), optionally as a copy of the block at `source`, or with known zeros.
struct TransformCase {
    bool forward;
    std::size_t size, truncated, len64;
    std::size_t pos = 0;
    std::optional<std::size_t> delta = {};
    std::optional<std::size_t> source = {};
    KnownShards zeros = {};
};

std::vector<TransformCase> transform_cases() {
    std::vector<TransformCase> cases;
    // Odd and even log2(size); bounds at 0, mid-group (odd counts, one past
    // a half, the codec's 342 and 1193) and at group borders; 3 chunks per
    // shard ends the fused inverse pass on a partial tile, 130 makes every
    // tile a single offset.
    // clang-format off
    const std::vector<std::pair<std::size_t, std::vector<std::size_t>>> sizes = {
        {1, {0, 1}}, {2, {0, 1, 2}}, {4, {0, 1, 3, 4}},
        {8, {0, 1, 2, 3, 5, 7, 8}}, {16, {0, 5, 9, 16}}, {32, {1, 7, 15, 16, 17, 31, 32}},
        {128, {5, 64, 65, 128}}, {512, {1, 255, 256, 257, 342, 512}}, {2048, {0, 1023, 1024, 1025, 1193, 2048}},
    };
    // clang-format on
    for (const auto& [size, truncations] : sizes) {
        for (const std::size_t t : truncations) {
            for (const bool forward : {true, false}) {
                for (const std::size_t len64 : {std::size_t{1}, std::size_t{3}}) {
                    cases.push_back({forward, size, t, len64, 0});
                    cases.push_back({forward, size, t, len64, size});
                }
            }
            cases.push_back({true, size, t, size <= 32 ? 130u : 1u, size + 5, {}, 0});  // copy of a block before
            cases.push_back({true, size, t, 2, 0, 3 * size, size + 5});                 // ... and after
        }
    }
    // Skew offsets outside the codec's two forms, where a group's m02 (2),
    // m23 (5), or m01 and m23 (1) skip their products.
    for (const std::size_t delta : {1, 2, 5}) {
        for (const bool forward : {true, false}) cases.push_back({forward, 16, 16, 2, 3, delta});
    }
    // Known zeros on both sides of the windows in which the last inverse pass
    // of an odd size computes its second group from its first run or two.
    for (const std::size_t size : {8, 32, 512, 2048}) {
        const std::size_t h = size / 2;
        for (const std::size_t t : {h, h + 1, h + h / 4, h + h / 4 + 1, h + h / 2, h + h / 2 + 1, size}) {
            for (const std::size_t prefix : {std::size_t{0}, std::size_t{4}, size / 4 + 1, h + 3}) {
                cases.push_back({false, size, t, 2, 3, {}, {}, {prefix, true}});
            }
            // The last quarter's outputs not needed, and one shard of it.
            for (const std::size_t needed : {size / 2 + size / 4, size / 2 + size / 4 + 1}) {
                cases.push_back({false, size, t, 2, 3, {}, {}, {size / 4 + 1, true, needed}});
            }
        }
        cases.push_back({false, size, size, 1, 3, {}, {}, {h, false}});
    }
    return cases;
}

TEST(Kernels, TransformsFollowTheirDefinition) {
    std::mt19937 rng(4242);
    std::size_t slack = 0;
    for (const TransformCase& c : transform_cases()) {
        const std::size_t delta = c.delta.value_or(c.pos == 0 ? 0 : c.pos + c.size);
        const std::size_t shards = std::max(c.pos, c.source.value_or(0)) + c.size;
        std::vector<Chunk> input = random_chunks(shards * c.len64, rng);
        const auto shard = [&](std::vector<Chunk>& v, std::size_t s) { return v.begin() + s * c.len64; };
        std::fill(shard(input, c.pos), shard(input, c.pos + c.zeros.prefix), Chunk{});
        std::vector<Chunk> expected = input;
        if (c.source) std::copy_n(shard(input, *c.source), c.size * c.len64, shard(expected, c.pos));
        if (c.zeros.tail) std::fill(shard(expected, c.pos + c.truncated), shard(expected, c.pos + c.size), Chunk{});
        for (std::size_t e = 0; e < c.len64 * 32; ++e) {
            std::vector<GfElement> v(c.size);
            for (std::size_t s = 0; s < c.size; ++s) v[s] = element(expected[(c.pos + s) * c.len64 + e / 32], e % 32);
            c.forward ? fft_by_definition(v, c.size, c.truncated, delta)
                      : ifft_by_definition(v, c.size, c.truncated, delta);
            for (std::size_t s = 0; s < c.size; ++s) set_element(expected[(c.pos + s) * c.len64 + e / 32], e % 32, v[s]);
        }
        std::ostringstream what;
        what << (c.forward ? " fft" : " ifft") << " size " << c.size << " truncated " << c.truncated << " pos " << c.pos;
        what << " delta " << delta << " chunks " << c.len64 << " prefix " << c.zeros.prefix
             << (c.zeros.tail ? " tail" : "") << (c.source ? " copy" : "") << " needed " << c.zeros.needed;
        for (const char* name : kernel_names()) {
            const DefaultEngine engine = kernel(name);
            ASSERT_TRUE(fenced_equals(input, expected, SLACKS[slack++ % std::size(SLACKS)], [&](std::span<Chunk> data) {
                const ShardsRefMut view(data, shards, c.len64);
                if (c.forward) {
                    engine.fft(view, c.pos, c.size, c.truncated, delta, c.source);
                } else {
                    engine.ifft(view, c.pos, c.size, c.truncated, delta, c.zeros);
                }
                // Shards from `needed` on may hold anything: not compared.
                if (c.zeros.needed < c.size) {
                    std::copy(shard(expected, c.pos + c.zeros.needed), shard(expected, c.pos + c.size),
                              data.begin() + static_cast<std::ptrdiff_t>((c.pos + c.zeros.needed) * c.len64));
                }
            })) << name
                << what.str();
        }
    }
}

TEST(Kernels, BrokenTransformArgumentsAreInternalFailures) {
    struct Case {
        const char* what;
        std::size_t pos, size, truncated, delta;
        std::optional<std::size_t> source;
        KnownShards zeros;
    };
    const Case cases[] = {
        {"size not a power of two", 0, 3, 3, 0, {}, {}},
        {"truncated beyond size", 0, 4, 5, 0, {}, {}},
        {"block past the view", 10, 4, 4, 0, {}, {}},
        {"SKEW index past 65534", 0, 4, 4, 65533, {}, {}},
        {"source overlapping from before", 5, 4, 4, 0, 3, {}},
        {"source overlapping from after", 5, 4, 4, 0, 6, {}},
        {"source past the view", 0, 4, 4, 0, 9, {}},
        {"zero prefix beyond size", 0, 4, 4, 0, {}, {5, false}},
    };
    std::vector<Chunk> chunks(12);
    const ShardsRefMut view(chunks, 12, 1);
    for (const char* name : kernel_names()) {
        const DefaultEngine engine = kernel(name);
        for (const Case& c : cases) {
            if (c.zeros.prefix == 0) {
                EXPECT_THROW(engine.fft(view, c.pos, c.size, c.truncated, c.delta, c.source), InternalFailure)
                    << name << ": " << c.what;
            }
            if (!c.source) {
                EXPECT_THROW(engine.ifft(view, c.pos, c.size, c.truncated, c.delta, c.zeros), InternalFailure)
                    << name << ": " << c.what;
            }
        }
        std::vector<Chunk> twelve(12);
        EXPECT_THROW(engine.formal_derivative(ShardsRefMut(twelve, 12, 1)), InternalFailure) << name;
    }
}

// Every multiplier on every set, in one fenced buffer per set: the basis
// bits, 0, all ones and random elements against the scalar exp/log product.
TEST(Kernels, MultiplyByEveryMultiplier) {
    std::mt19937 rng(99);
    std::size_t slack = 0;
    for (const char* name : kernel_names()) {
        const DefaultEngine engine = kernel(name);
        const FencedBuffer buffer(3 * CHUNK_BYTES, SLACKS[slack++ % std::size(SLACKS)]);
        const std::span<Chunk> data(reinterpret_cast<Chunk*>(buffer.data()), 3);
        for (std::size_t log_m = 0; log_m < GF_ORDER; ++log_m) {
            std::vector<Chunk> input = random_chunks(3, rng);
            for (unsigned b = 0; b < GF_BITS; ++b) set_element(input[0], b, static_cast<GfElement>(1u << b));
            set_element(input[0], 16, 0);
            set_element(input[0], 17, 0xFFFF);
            input[1].bytes[3] = 0;  // a zero low byte alone
            std::copy(input.begin(), input.end(), data.begin());
            engine.mul(data, static_cast<GfElement>(log_m));
            for (std::size_t e = 0; e < 96; ++e) {
                ASSERT_EQ(element(data[e / 32], e % 32), mul(element(input[e / 32], e % 32), static_cast<GfElement>(log_m)))
                    << name << ": log_m " << log_m << ", element " << e;
            }
        }
    }
}

// The formal derivative's defining sweep: for i = 1..n-1 with w the lowest set
// bit of i, shards [i, i + w) are XORed into [i - w, i), byte by byte. Rows
// shorter than, equal to and not a multiple of the kernels' 512-byte slices.
TEST(Kernels, FormalDerivativeFollowsTheSweep) {
    const std::pair<std::size_t, std::size_t> cases[] = {{1, 1}, {2, 2}, {4, 1}, {8, 1}, {8, 9}, {16, 17},  // small
                                                         {32, 8},
                                                         {64, 9},
                                                         {256, 1},
                                                         {1024, 3},
                                                         {2048, 8},
                                                         {4096, 1}};
    std::mt19937 rng(31337);
    std::size_t slack = 0;
    for (const auto& [n, len64] : cases) {
        const std::vector<Chunk> input = random_chunks(n * len64, rng);
        std::vector<Chunk> expected = input;
        auto* e = reinterpret_cast<std::uint8_t*>(expected.data());
        const std::size_t row = len64 * CHUNK_BYTES;
        for (std::size_t i = 1; i < n; ++i) {
            const std::size_t w = i & (~i + 1);
            for (std::size_t b = 0; b < w * row; ++b) e[(i - w) * row + b] ^= e[i * row + b];
        }
        for (const char* name : kernel_names()) {
            const DefaultEngine engine = kernel(name);
            ASSERT_TRUE(fenced_equals(input, expected, SLACKS[slack++ % std::size(SLACKS)], [&](std::span<Chunk> data) {
                engine.formal_derivative(ShardsRefMut(data, n, len64));
            })) << name
                << ": " << n << " shards of " << len64 << " chunks";
        }
    }
}

// fft_of_derivative against its two steps on the scalar reference, for the
// shards below the truncation (the rest is unspecified): truncations around a
// quarter of the shards, where only a quarter of the derivative is taken.
TEST(Kernels, FftOfDerivativeIsTheDerivativeThenTheTransform) {
    std::mt19937 rng(8128);
    const DefaultEngine reference = kernel("scalar");
    for (const std::size_t n : {1, 2, 4, 8, 16, 64, 512, 2048}) {
        for (const std::size_t t : {std::size_t{0}, std::size_t{1}, n / 4 - 1, n / 4, n / 4 + 1, n}) {
            if (t > n || (t == n / 4 - 1 && n < 8)) continue;
            for (const std::size_t len64 : {1, 3}) {
                const std::vector<Chunk> input = random_chunks(n * len64, rng);
                std::vector<Chunk> expected = input;
                reference.formal_derivative(ShardsRefMut(expected, n, len64));
                reference.fft(ShardsRefMut(expected, n, len64), 0, n, t, 0);
                for (const char* name : kernel_names()) {
                    std::vector<Chunk> data = input;
                    kernel(name).fft_of_derivative(ShardsRefMut(data, n, len64), t);
                    ASSERT_EQ(std::memcmp(data.data(), expected.data(), t * len64 * CHUNK_BYTES), 0)
                        << name << ": " << n << " shards of " << len64 << " chunks, truncated " << t;
                }
            }
        }
    }
    // A count that is not a power of two fails even where a quarter of it is one.
    for (const std::size_t n : {6, 17}) {
        std::vector<Chunk> chunks = random_chunks(n, rng);
        EXPECT_THROW(reference.fft_of_derivative(ShardsRefMut(chunks, n, 1), 1), InternalFailure) << n;
    }
}

// eval_poly is H(H(e) * LOG_WALSH) modulo 65535, H the Walsh-Hadamard
// transform, with the first H truncated to groups below truncated_size: the
// scalar reference against that sum for sparse inputs, and every set against
// the reference on inputs whose sums meet add_mod's and sub_mod's wrap-around.
TEST(Kernels, EvalPolyFollowsItsDefinition) {
    const LogTable& walsh = get_log_walsh();
    std::mt19937 rng(17);
    const auto parity = [](std::size_t a, std::size_t b) { return __builtin_popcountll(a & b) & 1; };
    for (const std::size_t truncated : {std::size_t{4}, std::size_t{100}, std::size_t{40000}, GF_ORDER}) {
        std::vector<GfElement> erasures(GF_ORDER, 0);
        for (int i = 0; i < 3; ++i) erasures[rng() % truncated] = static_cast<GfElement>(rng());
        std::vector<std::size_t> support;
        for (std::size_t j = 0; j < truncated; ++j) {
            if (erasures[j] != 0) support.push_back(j);
        }
        const std::vector<GfElement> input = erasures;
        Scalar::eval_poly(std::span<GfElement, GF_ORDER>(erasures.data(), GF_ORDER), truncated);
        std::vector<std::uint64_t> scaled(GF_ORDER);
        for (std::size_t k = 0; k < GF_ORDER; ++k) {
            std::uint64_t sum = 0;
            for (const std::size_t j : support) sum += parity(k, j) ? GF_MODULUS - input[j] % GF_MODULUS : input[j] % GF_MODULUS;
            scaled[k] = sum % GF_MODULUS * walsh[k] % GF_MODULUS;
        }
        for (std::size_t i = rng() % 97; i < GF_ORDER; i += 4099) {
            std::uint64_t sum = 0;
            for (std::size_t k = 0; k < GF_ORDER; ++k) sum += parity(i, k) ? GF_MODULUS - scaled[k] : scaled[k];
            ASSERT_EQ(erasures[i] % GF_MODULUS, sum % GF_MODULUS) << "truncated " << truncated << ", i " << i;
        }
    }
    constexpr GfElement EDGES[] = {0, 1, 2, 32767, 32768, 65533, 65534, 65535};
    std::vector<std::vector<GfElement>> inputs(4, std::vector<GfElement>(GF_ORDER, 0));
    for (auto& v : inputs[0]) v = static_cast<GfElement>(rng());
    for (auto& v : inputs[1]) v = EDGES[rng() % std::size(EDGES)];
    for (std::size_t i = 0; i < GF_ORDER; ++i) inputs[2][i] = (i / 3) % 2 == 0 ? 0 : 65535;
    for (int i = 0; i < 300; ++i) inputs[3][rng() % 1000] = 1;
    std::size_t slack = 0;
    for (const auto& input : inputs) {
        // Block and group borders of the paired passes from both sides, and
        // sizes past 65536, whose groups wrap around.
        for (const std::size_t truncated : {0, 1, 5, 16, 17, 63, 257, 1025, 4095, 8193, 16385, 49153, 65535, 65536,
                                            65540, 85536}) {
            std::vector<GfElement> expected = input;
            Scalar::eval_poly(std::span<GfElement, GF_ORDER>(expected.data(), GF_ORDER), truncated);
            for (const char* name : kernel_names()) {
                // Even slacks keep 16-bit alignment; only 0 starts on a multiple of 16.
                const FencedBuffer buffer(GF_ORDER * sizeof(GfElement), 2 * SLACKS[slack++ % std::size(SLACKS)]);
                auto* values = reinterpret_cast<GfElement*>(buffer.data());
                std::copy(input.begin(), input.end(), values);
                kernel(name).eval_poly(std::span<GfElement, GF_ORDER>(values, GF_ORDER), truncated);
                ASSERT_TRUE(std::equal(expected.begin(), expected.end(), values)) << name << ", truncated " << truncated;
            }
        }
    }
}

// ---- Shard storage ----------------------------------------------------------

// Views hand out what they are asked for and refuse every range outside the
// storage (the byte layout itself is pinned by the codec's per-element test).
TEST(Shards, ViewsCheckEveryRange) {
    Shards shards;
    shards.resize(6, 1);
    for (std::size_t s = 0; s < 6; ++s) shards.insert(s, testing::Bytes(64, std::uint8_t(s + 1)));
    const ShardsRefMut view = shards.view_mut();
    const auto firsts = [&] {
        std::string bytes;
        for (std::size_t s = 0; s < 6; ++s) bytes += static_cast<char>('0' + shards.shard_bytes(s)[0]);
        return bytes;
    };
    auto [a, b] = view.flat2_mut(4, 0, 2);
    EXPECT_EQ(a[1].bytes[0] * 10 + b[0].bytes[0], 61);
    view.copy_within(0, 1, 3);  // overlapping: as a move
    EXPECT_EQ(firsts(), "112356");
    auto [left, right] = view.split_at(2);
    right.zero(1, 3);
    EXPECT_EQ(left.shard_count() * 10 + right.shard_count(), 24u);
    EXPECT_EQ(firsts(), "112006");
    const std::function<void()> broken[] = {
        [&] { (void)view.shard(6); },
        [&] { (void)view.split_at(7); },
        [&] { view.zero(5, 7); },
        [&] { view.zero(3, 2); },
        [&] { view.copy_within(4, 0, 3); },
        [&] { view.copy_within(0, 4, 3); },
        [&] { (void)view.flat2_mut(0, 1, 2); },
        [&] { (void)view.flat2_mut(5, 0, 2); },
        [&] { shards.insert(6, testing::Bytes(2)); },
        [&] { shards.insert(0, testing::Bytes(66)); },
        [&] { shards.insert(0, testing::Bytes(3)); },
        [&] { view.undo_last_chunk_encoding(66, 0, 1); },
        [&] { ShardsRefMut(view.data(), 7, 1); },
    };
    for (std::size_t i = 0; i < std::size(broken); ++i) EXPECT_THROW(broken[i](), InternalFailure) << "row " << i;
    EXPECT_EQ(firsts(), "112006");
}

}  // namespace
}  // namespace ondrel::engine
