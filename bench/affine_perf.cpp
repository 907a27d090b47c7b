// The affine-port bound of a (342, 681) encode: how long this core takes for
// the GF(2) affine instructions (gf2p8affineqb) that the encode's products
// need, and nothing else. jam_perf's BM_EncodeCodecOnly set beside
// BM_EncodeAffineOnly says how close the codec runs to that bound.
//
// The products are counted on the transform passes themselves (the generic
// pass code with a kernel that counts), called as the low-rate encoder calls
// them; that sequence is checked against the encoder's own output first. Each
// product of one 64-byte chunk takes four 256-bit transforms in the halves
// form ("avx512gfni") and two 512-bit ones in "avx512gfni-zmm"; the loop runs
// that many independent transforms of the width of the kernel set this process
// chose, and is skipped when the choice is not a GFNI set. BM_EncodeMixOnly
// runs the same products as blocks of the sweep's whole instruction mix.
#include <benchmark/benchmark.h>
#include <immintrin.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "codec/engine/engine_default.hpp"
#include "codec/reed_solomon.hpp"
#include "src/jam/jam.hpp"

namespace ondrel::engine::counting {

#include "codec/engine/generic/transform.hpp"

// The pass hooks, counting products (butterflies whose logarithm is not
// SKIP_PRODUCT) per element position instead of computing them.
class Kernel {
public:
    explicit Kernel(std::size_t len64) : len64_(len64) {}

    [[nodiscard]] std::size_t products() const { return products_ / len64_; }

    void fft_butterfly(std::span<Chunk> x, std::span<Chunk>, GfElement m) const { count(x.size(), m); }
    void ifft_butterfly(std::span<Chunk> x, std::span<Chunk>, GfElement m) const { count(x.size(), m); }
    void fft_four(Chunk*, Chunk*, Chunk*, Chunk*, std::size_t n, GfElement m01, GfElement m02,
                  GfElement m23) const {
        four(n, m01, m02, m23);
    }
    void ifft_four(Chunk*, Chunk*, Chunk*, Chunk*, std::size_t n, GfElement m01, GfElement m02,
                   GfElement m23) const {
        four(n, m01, m02, m23);
    }
    void fft_four_from(const Chunk*, const Chunk*, const Chunk*, const Chunk*, Chunk*, Chunk*, Chunk*, Chunk*,
                       std::size_t n, GfElement m01, GfElement m02, GfElement m23) const {
        four(n, m01, m02, m23);
    }
    void ifft_four_leading(std::size_t, Chunk*, Chunk*, Chunk*, Chunk*, std::size_t n, GfElement m01,
                           GfElement m02) const {
        count(n, m01);
        count(2 * n, m02);
    }

private:
    void count(std::size_t chunks, GfElement m) const {
        if (m != SKIP_PRODUCT) products_ += chunks;
    }
    void four(std::size_t n, GfElement m01, GfElement m02, GfElement m23) const {
        count(n, m01);
        count(2 * n, m02);
        count(n, m23);
    }

    std::size_t len64_;
    mutable std::size_t products_ = 0;
};

}  // namespace ondrel::engine::counting

namespace {

using namespace ondrel;
using engine::Chunk;
using engine::ShardsRefMut;

// The transforms of RateEncoder<LowRate>::encode on `data` (the originals at
// positions 0..orig-1 of ceil(rec / chunk) * chunk positions), with `run`
// standing for the engine: run(forward, pos, size, truncated, skew_delta,
// copy_of or zero tail).
template <class Run>
void low_rate_encode(std::size_t orig, std::size_t rec, Run&& run) {
    const std::size_t chunk = std::bit_ceil(orig);
    run(false, 0, chunk, orig, 0, std::nullopt);
    for (std::size_t start = chunk; start < rec; start += chunk) {
        run(true, start, chunk, std::min(chunk, rec - start), start + chunk, std::optional<std::size_t>(0));
    }
    run(true, 0, chunk, std::min(chunk, rec), chunk, std::nullopt);
}

// Products per element position of a low-rate encode, or nothing when the
// sequence above no longer gives the encoder's recovery shards (then the count
// would describe some other computation).
std::optional<std::size_t> low_rate_products(std::size_t orig, std::size_t rec) {
    const std::size_t chunk = std::bit_ceil(orig);
    const std::size_t work = (rec + chunk - 1) / chunk * chunk;
    if (orig > rec) return std::nullopt;
    std::mt19937 rng(5);
    std::vector<std::vector<std::uint8_t>> originals(orig, std::vector<std::uint8_t>(engine::CHUNK_BYTES));
    std::vector<Chunk> chunks(work);
    for (std::size_t j = 0; j < orig; ++j) {
        for (auto& b : originals[j]) b = static_cast<std::uint8_t>(rng());
        std::memcpy(chunks[j].bytes, originals[j].data(), engine::CHUNK_BYTES);
    }
    const engine::DefaultEngine scalar = *engine::DefaultEngine::with_kernel("scalar");
    const ShardsRefMut view(chunks, work, 1);
    low_rate_encode(orig, rec, [&](bool forward, std::size_t pos, std::size_t size, std::size_t truncated, std::size_t skew_delta, std::optional<std::size_t> copy_of) {
        if (forward) {
            scalar.fft(view, pos, size, truncated, skew_delta, copy_of);
        } else {
            scalar.ifft(view, pos, size, truncated, skew_delta, {0, true});
        }
    });
    auto encoder = codec::ReedSolomonEncoder::create(orig, rec, engine::CHUNK_BYTES);
    if (!encoder) return std::nullopt;
    for (const auto& shard : originals) static_cast<void>(encoder->add_original_shard(shard));
    auto result = encoder->encode();
    if (!result) return std::nullopt;
    auto recovery = result->recovery_iter();
    for (std::size_t r = 0; r < rec; ++r) {
        const auto shard = recovery.next();
        if (!shard || std::memcmp(shard->data(), chunks[r].bytes, engine::CHUNK_BYTES) != 0) return std::nullopt;
    }

    const engine::counting::Kernel counter(1);
    const engine::SkewTable& skew = engine::get_skew();
    low_rate_encode(orig, rec, [&](bool forward, std::size_t pos, std::size_t size, std::size_t truncated, std::size_t skew_delta, std::optional<std::size_t> copy_of) {
        if (forward) {
            engine::counting::fft_passes(counter, skew, view, pos, size, truncated, skew_delta, copy_of);
        } else {
            engine::counting::ifft_passes(counter, skew, view, pos, size, truncated, skew_delta, {0, true});
        }
    });
    return counter.products();
}

// `count` affine transforms (rounded up to twelve) in twelve independent
// chains, written out so that the compiler keeps every chain in a register.
// REG is the operand modifier of the register width: t (256-bit), g (512-bit).
// clang-format off
#define ONDREL_AFFINE(REG, N) "vgf2p8affineqb $0, %" #REG "12, %" #REG #N ", %" #REG #N "\n\t"
#define ONDREL_AFFINE_12(REG)                                                                                      \
    ONDREL_AFFINE(REG, 0) ONDREL_AFFINE(REG, 1) ONDREL_AFFINE(REG, 2) ONDREL_AFFINE(REG, 3) ONDREL_AFFINE(REG, 4) \
    ONDREL_AFFINE(REG, 5) ONDREL_AFFINE(REG, 6) ONDREL_AFFINE(REG, 7) ONDREL_AFFINE(REG, 8) ONDREL_AFFINE(REG, 9) \
    ONDREL_AFFINE(REG, 10) ONDREL_AFFINE(REG, 11)

#define ONDREL_AFFINE_LOOP(REG, m, count)                                                                        \
    auto a0 = m, a1 = m, a2 = m, a3 = m, a4 = m, a5 = m, a6 = m, a7 = m, a8 = m, a9 = m, a10 = m, a11 = m;    \
    for (std::size_t n = 0; n < (count); n += 12) {                                                            \
        asm volatile(ONDREL_AFFINE_12(REG)                                                                     \
                     : "+v"(a0), "+v"(a1), "+v"(a2), "+v"(a3), "+v"(a4), "+v"(a5), "+v"(a6), "+v"(a7),        \
                       "+v"(a8), "+v"(a9), "+v"(a10), "+v"(a11)                                               \
                     : "v"(m));                                                                                \
    }
// clang-format on

__attribute__((target("avx2,avx512f,avx512vl,gfni"))) void affine_ymm(std::size_t count) {
    const __m256i m = _mm256_set1_epi64x(0x0102040810204080);
    ONDREL_AFFINE_LOOP(t, m, count)
}

__attribute__((target("avx2,avx512f,avx512vl,gfni"))) void affine_zmm(std::size_t count) {
    const __m512i m = _mm512_set1_epi64(0x0102040810204080);
    ONDREL_AFFINE_LOOP(g, m, count)
}

// The whole instruction mix of the two-layer sweep for four products (one
// block: a chunk of each of four runs), with no dependency between the
// instructions, at the sweep's addresses (runs 1 KiB apart, each chunk read
// and written in place) in L1: what the core's ports allow for the mix the
// codec issues, beside the affine instructions alone. Halves form: 16 affine
// (256-bit), 8 three-way XORs, 8 XORs, 8 loads, 8 stores; register form: 8
// affine (512-bit), 4 lane swaps, 4 three-way XORs, 4 XORs, 4 loads, 4
// stores.
// clang-format off
#define ONDREL_MIX_HALVES(A, B, T, X, AT)                                          \
    "vgf2p8affineqb $0, %%ymm12, %%ymm" #A ", %%ymm" #A "\n\t"                   \
    "vgf2p8affineqb $0, %%ymm12, %%ymm" #B ", %%ymm" #B "\n\t"                   \
    "vpternlogq $0x96, %%ymm13, %%ymm14, %%ymm" #T "\n\t"                        \
    "vpxorq %%ymm13, %%ymm" #X ", %%ymm" #X "\n\t"                               \
    "vmovdqu64 " #AT "(%0), %%ymm23\n\t"                                          \
    "vmovdqu64 %%ymm24, " #AT "(%0)\n\t"
#define ONDREL_MIX_ZMM(A, B, W, T, X, AT)                                         \
    "vgf2p8affineqb $0, %%zmm12, %%zmm" #A ", %%zmm" #A "\n\t"                   \
    "vgf2p8affineqb $0, %%zmm12, %%zmm" #B ", %%zmm" #B "\n\t"                   \
    "vshufi64x2 $0x4e, %%zmm" #W ", %%zmm" #W ", %%zmm" #W "\n\t"                \
    "vpternlogq $0x96, %%zmm13, %%zmm14, %%zmm" #T "\n\t"                        \
    "vpxorq %%zmm13, %%zmm" #X ", %%zmm" #X "\n\t"                               \
    "vmovdqu64 " #AT "(%0), %%zmm23\n\t"                                          \
    "vmovdqu64 %%zmm24, " #AT "(%0)\n\t"
#define ONDREL_MIX_CLOBBERS                                                       \
    "memory", "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8", "xmm9", "xmm10", "xmm11", \
    "xmm15", "xmm16", "xmm17", "xmm18", "xmm19", "xmm20", "xmm21", "xmm22", "xmm23", "xmm25", "xmm26"
// clang-format on

constexpr std::size_t MIX_RUN_BYTES = 1024;

__attribute__((target("avx2,avx512f,avx512vl,gfni"))) void mix_halves(std::size_t blocks, std::uint8_t* runs) {
    for (std::size_t n = 0; n < blocks; ++n) {
        asm volatile(ONDREL_MIX_HALVES(0, 1, 15, 19, 0) ONDREL_MIX_HALVES(2, 3, 16, 20, 32)
                         ONDREL_MIX_HALVES(4, 5, 17, 21, 1024) ONDREL_MIX_HALVES(6, 7, 18, 22, 1056)
                             ONDREL_MIX_HALVES(8, 9, 15, 19, 2048) ONDREL_MIX_HALVES(10, 11, 16, 20, 2080)
                                 ONDREL_MIX_HALVES(0, 1, 17, 21, 3072) ONDREL_MIX_HALVES(2, 3, 18, 22, 3104)
                     :
                     : "r"(runs + n % (MIX_RUN_BYTES / 64) * 64)
                     : ONDREL_MIX_CLOBBERS);
    }
}

__attribute__((target("avx2,avx512f,avx512vl,gfni"))) void mix_zmm(std::size_t blocks, std::uint8_t* runs) {
    for (std::size_t n = 0; n < blocks; ++n) {
        asm volatile(ONDREL_MIX_ZMM(0, 1, 25, 15, 19, 0) ONDREL_MIX_ZMM(2, 3, 26, 16, 20, 1024)
                         ONDREL_MIX_ZMM(4, 5, 25, 17, 21, 2048) ONDREL_MIX_ZMM(6, 7, 26, 18, 22, 3072)
                     :
                     : "r"(runs + n % (MIX_RUN_BYTES / 64) * 64)
                     : ONDREL_MIX_CLOBBERS);
    }
}

// What the two benchmarks below need: the kernel set's form and the encode's
// product count, or the reason to skip.
struct Products {
    bool zmm;
    std::size_t products;   // per element position
    std::size_t positions;  // 64-byte element positions of the segment
};

std::optional<Products> encode_products(benchmark::State& state) {
    const auto orig = static_cast<std::size_t>(state.range(0));
    const auto rec = static_cast<std::size_t>(state.range(1));
    const auto size = static_cast<std::size_t>(state.range(2));
    const std::string kernel = engine::DefaultEngine::create().name();
    const bool zmm = kernel == "avx512gfni-zmm";
    if (kernel != "avx512gfni" && !zmm) {
        state.SkipWithError(("kernel set " + kernel + " has no affine products").c_str());
        return std::nullopt;
    }
    const std::optional<std::size_t> products = low_rate_products(orig, rec);
    if (!products) {
        state.SkipWithError("the counted sequence no longer matches the low-rate encoder");
        return std::nullopt;
    }
    state.SetLabel(kernel);
    state.counters["products_per_position"] = static_cast<double>(*products);
    return Products{zmm, *products, (*jam::plan_encode(size, orig, rec) + 63) / 64};
}

void BM_EncodeAffineOnly(benchmark::State& state) {
    const std::optional<Products> p = encode_products(state);
    if (!p) return;
    const std::size_t transforms = p->products * p->positions * (p->zmm ? 2 : 4);
    for (auto _ : state) {
        if (p->zmm) {
            affine_zmm(transforms);
        } else {
            affine_ymm(transforms);
        }
    }
    state.counters["transforms"] = static_cast<double>(transforms);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * state.range(2)));
}
BENCHMARK(BM_EncodeAffineOnly)->Args({342, 681, 16 << 20})->Unit(benchmark::kMicrosecond);

// The encode's products as blocks of the sweep's whole instruction mix.
void BM_EncodeMixOnly(benchmark::State& state) {
    const std::optional<Products> p = encode_products(state);
    if (!p) return;
    const std::size_t blocks = (p->products * p->positions + 3) / 4;
    alignas(64) static std::uint8_t runs[4 * MIX_RUN_BYTES];
    for (auto _ : state) {
        if (p->zmm) {
            mix_zmm(blocks, runs);
        } else {
            mix_halves(blocks, runs);
        }
    }
    state.counters["blocks"] = static_cast<double>(blocks);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * state.range(2)));
}
BENCHMARK(BM_EncodeMixOnly)->Args({342, 681, 16 << 20})->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
