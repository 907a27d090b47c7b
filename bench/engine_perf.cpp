// Engine kernel throughput per kernel set: mul, fft and ifft over a block of
// 1024 shards of 1, 16 and 64 chunks (64 KiB, 1 MiB and 4 MiB), and the
// erasure-locator evaluation. Data stays in place between iterations, so the
// caches are warm: the 64 KiB block fits in L2, 1 MiB about fills it, 4 MiB
// spills to L3. Bytes per second count the block's bytes once per call.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "codec/engine/engine_default.hpp"

namespace ondrel::engine {
namespace {

constexpr std::size_t BLOCK = 1024;
constexpr std::size_t CHUNKS_PER_SHARD[] = {1, 16, 64};

// A block of random shards in the codec's own (cache-line aligned) storage.
Shards random_block(std::size_t len64) {
    std::mt19937 rng(1);
    Shards shards;
    shards.resize(BLOCK, len64);
    for (Chunk& c : shards.view_mut().data()) {
        std::generate(std::begin(c.bytes), std::end(c.bytes), [&] { return rng() & 0xFF; });
    }
    return shards;
}

std::int64_t block_bytes(std::size_t len64) { return static_cast<std::int64_t>(BLOCK * len64 * CHUNK_BYTES); }

// One mul call per shard with a different multiplier each, as the decoders
// scale shards: the per-call setup of the table rows is part of the cost.
void bm_mul(benchmark::State& state, const DefaultEngine& engine, std::size_t len64) {
    Shards shards = random_block(len64);
    const ShardsRefMut view = shards.view_mut();
    for (auto _ : state) {
        for (std::size_t s = 0; s < BLOCK; ++s) engine.mul(view.shard(s), static_cast<GfElement>(s * 37 + 1));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * block_bytes(len64));
}

template <bool FORWARD>
void bm_transform(benchmark::State& state, const DefaultEngine& engine, std::size_t len64) {
    Shards shards = random_block(len64);
    const ShardsRefMut view = shards.view_mut();
    for (auto _ : state) {
        if constexpr (FORWARD) {
            engine.fft(view, 0, BLOCK, BLOCK, 0);
        } else {
            engine.ifft(view, 0, BLOCK, BLOCK, 0);
        }
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * block_bytes(len64));
}

// eval_poly with every entry below the truncation erased and the rest zero,
// as the decoders call it (65536 entries processed either way).
void bm_eval_poly(benchmark::State& state, const DefaultEngine& engine, std::size_t truncated_size) {
    std::vector<GfElement> erasures(GF_ORDER);
    for (auto _ : state) {
        std::fill(erasures.begin(), erasures.end(), GfElement{0});
        std::fill_n(erasures.begin(), truncated_size, GfElement{1});
        engine.eval_poly(std::span<GfElement, GF_ORDER>(erasures.data(), GF_ORDER), truncated_size);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * GF_ORDER * sizeof(GfElement)));
}

void register_all(std::vector<DefaultEngine>& engines) {
    const std::vector<const char*> kernels = DefaultEngine::available_kernels();
    engines.reserve(kernels.size());
    for (const char* kernel : kernels) {
        const DefaultEngine& e = engines.emplace_back(*DefaultEngine::with_kernel(kernel));
        for (std::size_t len64 : CHUNKS_PER_SHARD) {
            const std::string suffix = std::string("/") + kernel + "/chunks:" + std::to_string(len64);
            benchmark::RegisterBenchmark(("mul" + suffix).c_str(), bm_mul, std::cref(e), len64);
            benchmark::RegisterBenchmark(("fft1024" + suffix).c_str(), bm_transform<true>, std::cref(e), len64);
            benchmark::RegisterBenchmark(("ifft1024" + suffix).c_str(), bm_transform<false>, std::cref(e), len64);
        }
        benchmark::RegisterBenchmark((std::string("eval_poly/") + kernel).c_str(), bm_eval_poly, std::cref(e),
                                     GF_ORDER);
        // A decoder of 1000 original shards truncates the first transform.
        benchmark::RegisterBenchmark((std::string("eval_poly/") + kernel + "/truncated:1000").c_str(),
                                     bm_eval_poly, std::cref(e), std::size_t{1000});
    }
    benchmark::AddCustomContext("selected kernel set", DefaultEngine::create().name());
}

}  // namespace
}  // namespace ondrel::engine

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    std::vector<ondrel::engine::DefaultEngine> engines;
    ondrel::engine::register_all(engines);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
