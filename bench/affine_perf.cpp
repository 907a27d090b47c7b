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
// chose, and is skipped when the choice is not a GFNI set.
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

void BM_EncodeAffineOnly(benchmark::State& state) {
    const auto orig = static_cast<std::size_t>(state.range(0));
    const auto rec = static_cast<std::size_t>(state.range(1));
    const auto size = static_cast<std::size_t>(state.range(2));
    const std::string kernel = engine::DefaultEngine::create().name();
    const bool zmm = kernel == "avx512gfni-zmm";
    if (kernel != "avx512gfni" && !zmm) {
        state.SkipWithError(("kernel set " + kernel + " has no affine products").c_str());
        return;
    }
    const std::optional<std::size_t> products = low_rate_products(orig, rec);
    if (!products) {
        state.SkipWithError("the counted sequence no longer matches the low-rate encoder");
        return;
    }
    const std::size_t positions = (*jam::plan_encode(size, orig, rec) + 63) / 64;
    const std::size_t transforms = *products * positions * (zmm ? 2 : 4);
    for (auto _ : state) {
        if (zmm) {
            affine_zmm(transforms);
        } else {
            affine_ymm(transforms);
        }
    }
    state.counters["products_per_position"] = static_cast<double>(*products);
    state.counters["transforms"] = static_cast<double>(transforms);
    state.SetLabel(kernel);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
}
BENCHMARK(BM_EncodeAffineOnly)->Args({342, 681, 16 << 20})->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
