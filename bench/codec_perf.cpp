// Codec throughput: encode, and decode with as many originals missing as there
// are recovery shards to replace them, at 64 KiB per shard.
//
// Reported rate: bytes of original data per second (original_count x 64 KiB
// per iteration). Each iteration is one whole pass on a reused (warm) encoder
// or decoder: add the shards (copied into the work buffer), code, walk the
// result's views, release. Every vector kernel set this CPU runs is measured;
// the label names the kernel set, and "default" marks the one
// DefaultEngine::create() picks. The erasure-locator evaluation always runs
// on the best kernel set.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "codec/engine/engine_default.hpp"
#include "codec/reed_solomon.hpp"

namespace {

using ondrel::codec::ReedSolomonDecoder;
using ondrel::codec::ReedSolomonEncoder;
using ondrel::engine::DefaultEngine;
using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t SHARD_BYTES = 64 * 1024;

struct Counts {
    std::size_t original_count, recovery_count;
};
constexpr Counts COUNTS[] = {{342, 681}, {64, 32}, {10, 4}, {1000, 1000}};

std::vector<Bytes> random_shards(std::size_t count, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::vector<Bytes> shards(count, Bytes(SHARD_BYTES));
    for (Bytes& shard : shards) {
        for (std::size_t i = 0; i < SHARD_BYTES; i += 8) {
            const std::uint64_t word = rng();
            for (std::size_t b = 0; b < 8; ++b) shard[i + b] = static_cast<std::uint8_t>(word >> (8 * b));
        }
    }
    return shards;
}

// One pass: adds the shards, codes and walks the result's views. False on a
// codec error, after marking the benchmark as failed.
bool encode_pass(benchmark::State& state, ReedSolomonEncoder& encoder, const std::vector<Bytes>& originals,
                 std::vector<Bytes>* recovery_out = nullptr) {
    for (const Bytes& shard : originals) {
        if (auto added = encoder.add_original_shard(shard); !added) {
            state.SkipWithError(added.error().debug_text().c_str());
            return false;
        }
    }
    auto result = encoder.encode();
    if (!result) {
        state.SkipWithError(result.error().debug_text().c_str());
        return false;
    }
    auto iter = result->recovery_iter();
    while (auto shard = iter.next()) {
        benchmark::DoNotOptimize(shard->data());
        if (recovery_out != nullptr) recovery_out->emplace_back(shard->begin(), shard->end());
    }
    return true;
}

bool decode_pass(benchmark::State& state, ReedSolomonDecoder& decoder, const std::vector<Bytes>& originals,
                 const std::vector<Bytes>& recovery, std::size_t lost) {
    for (std::size_t i = lost; i < originals.size(); ++i) {
        if (auto added = decoder.add_original_shard(i, originals[i]); !added) {
            state.SkipWithError(added.error().debug_text().c_str());
            return false;
        }
    }
    for (std::size_t r = 0; r < lost; ++r) {
        if (auto added = decoder.add_recovery_shard(r, recovery[r]); !added) {
            state.SkipWithError(added.error().debug_text().c_str());
            return false;
        }
    }
    auto result = decoder.decode();
    if (!result) {
        state.SkipWithError(result.error().debug_text().c_str());
        return false;
    }
    auto iter = result->restored_original_iter();
    while (auto shard = iter.next()) benchmark::DoNotOptimize(shard->bytes.data());
    return true;
}

std::string label(const char* kernel) {
    return std::string(kernel) + (std::string(DefaultEngine::create().name()) == kernel ? " (default)" : "");
}

void bm_encode(benchmark::State& state, const char* kernel, Counts counts) {
    const auto originals = random_shards(counts.original_count, 1);
    auto encoder = ReedSolomonEncoder::create(counts.original_count, counts.recovery_count, SHARD_BYTES,
                                              *DefaultEngine::with_kernel(kernel));
    if (!encoder) {
        state.SkipWithError(encoder.error().debug_text().c_str());
        return;
    }
    for (auto _ : state) {
        if (!encode_pass(state, *encoder, originals)) break;
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * counts.original_count * SHARD_BYTES));
    state.SetLabel(label(kernel));
}

void bm_decode(benchmark::State& state, const char* kernel, Counts counts) {
    const std::size_t oc = counts.original_count, rc = counts.recovery_count;
    const auto originals = random_shards(oc, 2);
    std::vector<Bytes> recovery;
    auto encoder = ReedSolomonEncoder::create(oc, rc, SHARD_BYTES);
    auto decoder = ReedSolomonDecoder::create(oc, rc, SHARD_BYTES, *DefaultEngine::with_kernel(kernel));
    if (!encoder || !decoder) {
        state.SkipWithError("unsupported counts");
        return;
    }
    if (!encode_pass(state, *encoder, originals, &recovery)) return;
    // The first `lost` originals are missing; as many recovery shards replace them.
    const std::size_t lost = std::min(oc, rc);
    for (auto _ : state) {
        if (!decode_pass(state, *decoder, originals, recovery, lost)) break;
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * oc * SHARD_BYTES));
    state.SetLabel(label(kernel));
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    for (const char* kernel : DefaultEngine::available_kernels()) {
        // The scalar reference takes minutes at these sizes.
        if (std::string_view(kernel) == "scalar") continue;
        for (const Counts counts : COUNTS) {
            // Built by appending: g++ 12 reports a false -Wrestrict for
            // "literal" + std::string temporaries here.
            std::string suffix = "/";
            suffix.append(kernel).append("/").append(std::to_string(counts.original_count));
            suffix.append("x").append(std::to_string(counts.recovery_count)).append("x64KiB");
            benchmark::RegisterBenchmark(("encode" + suffix).c_str(), bm_encode, kernel, counts)
                ->Unit(benchmark::kMillisecond)
                ->UseRealTime();
            benchmark::RegisterBenchmark(("decode" + suffix).c_str(), bm_decode, kernel, counts)
                ->Unit(benchmark::kMillisecond)
                ->UseRealTime();
        }
    }
    benchmark::AddCustomContext("DefaultEngine::create()", DefaultEngine::create().name());
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
