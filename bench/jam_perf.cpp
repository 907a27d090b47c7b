// The segment layer alone, without Python objects: how long coding takes, so
// that the Python benchmarks can tell coding from result building.
#include <benchmark/benchmark.h>

#include <random>
#include <span>
#include <vector>

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

// The same into storage allocated once, as the Python boundary provides it:
// the difference to BM_EncodeSegment is the cost of the owned shard vectors.
void BM_EncodeSegmentInto(benchmark::State& state) {
    const auto orig = static_cast<std::uint64_t>(state.range(0));
    const auto rec = static_cast<std::uint64_t>(state.range(1));
    const auto size = static_cast<std::size_t>(state.range(2));
    const Bytes data = random_bytes(size, 1);
    const std::size_t shard_len = *ondrel::jam::plan_encode(size, orig, rec);
    Bytes storage(shard_len * (orig + rec));
    std::vector<std::uint8_t*> rows;
    for (std::uint64_t k = 0; k < orig + rec; ++k) rows.push_back(storage.data() + k * shard_len);
    for (auto _ : state) {
        auto coded = ondrel::jam::encode_into(data, orig, rec, rows);
        benchmark::DoNotOptimize(coded);
        benchmark::DoNotOptimize(storage.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}
BENCHMARK(BM_EncodeSegmentInto)
    ->Args({342, 681, 4104})
    ->Args({342, 681, 16 << 20})
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

// The same batch into storage allocated once.
void BM_MultiEncodeSmallSegmentsInto(benchmark::State& state) {
    constexpr std::uint64_t orig = 342, rec = 681;
    std::vector<Bytes> segments;
    for (unsigned i = 0; i < 2000; ++i) segments.push_back(random_bytes(4104, i));
    const std::vector<std::span<const std::uint8_t>> views(segments.begin(), segments.end());
    const std::size_t shard_len = *ondrel::jam::plan_encode(4104, orig, rec);
    Bytes storage(segments.size() * (orig + rec) * shard_len);
    std::vector<std::uint8_t*> rows;
    for (std::size_t k = 0; k < segments.size() * (orig + rec); ++k) rows.push_back(storage.data() + k * shard_len);
    for (auto _ : state) {
        auto coded = ondrel::jam::multi_encode_into(views, orig, rec, rows);
        benchmark::DoNotOptimize(coded);
        benchmark::DoNotOptimize(storage.data());
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * segments.size()));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * segments.size() * 4104));
}
BENCHMARK(BM_MultiEncodeSmallSegmentsInto)->Unit(benchmark::kMillisecond)->UseRealTime()->MeasureProcessCPUTime();

}  // namespace

BENCHMARK_MAIN();
