// The segment layer alone, without Python objects: how long coding takes, so
// that the Python benchmarks can tell coding from result building.
#include <benchmark/benchmark.h>

#include <random>

#include "src/jam.hpp"

namespace {

using ondrel::jam::Bytes;

Bytes random_bytes(std::size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    Bytes bytes(n);
    for (auto& b : bytes) b = static_cast<std::uint8_t>(rng());
    return bytes;
}

// One segment through jam::encode; bytes of segment per second.
void BM_EncodeSegment(benchmark::State& state) {
    const auto orig = static_cast<std::uint64_t>(state.range(0));
    const auto rec = static_cast<std::uint64_t>(state.range(1));
    const auto size = static_cast<std::size_t>(state.range(2));
    const Bytes data = random_bytes(size, 1);
    for (auto _ : state) {
        auto shards = ondrel::jam::encode(data, orig, rec);
        benchmark::DoNotOptimize(shards);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}
BENCHMARK(BM_EncodeSegment)
    ->Args({342, 681, 4104})
    ->Args({342, 681, 1 << 20})
    ->Args({342, 681, 16 << 20})
    ->Args({64, 32, 16 << 20})
    ->Args({10, 4, 16 << 20})
    ->Unit(benchmark::kMicrosecond);

// Decode from recovery shards only (as far as the counts allow); bytes of
// padded output per second.
void BM_DecodeSegment(benchmark::State& state) {
    const auto orig = static_cast<std::uint64_t>(state.range(0));
    const auto rec = static_cast<std::uint64_t>(state.range(1));
    const auto size = static_cast<std::size_t>(state.range(2));
    const auto shards = *ondrel::jam::encode(random_bytes(size, 2), orig, rec);
    std::vector<ondrel::jam::IndexedShard> given;
    // Recovery shards first, then originals to make up the count.
    for (std::uint64_t r = 0; r < rec && given.size() < orig; ++r) given.push_back({shards[orig + r], orig + r});
    for (std::uint64_t j = 0; given.size() < orig; ++j) given.push_back({shards[j], j});
    for (auto _ : state) {
        auto data = ondrel::jam::decode(given, orig, rec);
        benchmark::DoNotOptimize(data);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * orig * shards[0].size()));
}
BENCHMARK(BM_DecodeSegment)
    ->Args({342, 681, 16 << 20})
    ->Args({64, 32, 16 << 20})
    ->Args({10, 4, 16 << 20})
    ->Unit(benchmark::kMillisecond);

// A batch of 4,104-byte segments through the pool; the CPU column is the
// whole process (all workers), which other load on the machine skews less.
void BM_MultiEncodeSmallSegments(benchmark::State& state) {
    std::vector<Bytes> segments;
    for (unsigned i = 0; i < 2000; ++i) segments.push_back(random_bytes(4104, i));
    for (auto _ : state) {
        auto lists = ondrel::jam::multi_encoder(segments, 342, 681);
        benchmark::DoNotOptimize(lists);
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * segments.size()));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * segments.size() * 4104));
}
BENCHMARK(BM_MultiEncodeSmallSegments)->Unit(benchmark::kMillisecond)->UseRealTime()->MeasureProcessCPUTime();

}  // namespace

BENCHMARK_MAIN();
