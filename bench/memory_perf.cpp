// What this machine's memory gives one core for the traffic of a (342, 681)
// encode of 16 MiB: the 16 MiB of data read, the 48 MiB of shards written
// with non-temporal stores, once as plain sequential streams and once in the
// order the segment layer visits the rows (every row a tile width at a time).
// These are ceilings for jam_perf's BM_EncodeRowTrafficOnly, which moves the
// same bytes and also converts them; the gap between the two, and the codec
// time (BM_EncodeCodecOnly) on top, is what bounds the encode on one core.
#include <benchmark/benchmark.h>
#include <immintrin.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <span>

#include "src/jam/jam.hpp"

namespace {

using ondrel::jam::Bytes;

constexpr std::uint64_t ORIG = 342;
constexpr std::uint64_t REC = 681;
constexpr std::size_t DATA_BYTES = std::size_t{16} << 20;
constexpr std::size_t LINE = 64;

std::size_t shard_len() { return *ondrel::jam::plan_encode(DATA_BYTES, ORIG, REC); }

// Buffers whose pages are touched once before timing, so no page faults are
// measured.
Bytes touched(std::size_t n) { return Bytes(n, 1); }

// The whole 64-byte lines inside [at, at + n).
std::span<std::uint8_t> whole_lines(std::uint8_t* at, std::size_t n) {
    const auto first = (reinterpret_cast<std::uintptr_t>(at) + LINE - 1) & ~std::uintptr_t{LINE - 1};
    const auto end = (reinterpret_cast<std::uintptr_t>(at) + n) & ~std::uintptr_t{LINE - 1};
    if (end <= first) return {};
    return {reinterpret_cast<std::uint8_t*>(first), end - first};
}

// Writes the whole lines of [at, at + n) with non-temporal stores from `value`.
inline void stream_lines(std::uint8_t* at, std::size_t n, __m128i value) {
    const std::span<std::uint8_t> lines = whole_lines(at, n);
    for (std::size_t i = 0; i < lines.size(); i += 16) {
        _mm_stream_si128(reinterpret_cast<__m128i*>(lines.data() + i), value);
    }
}

// Reading the data once, front to back.
void BM_ReadSequential(benchmark::State& state) {
    const Bytes data = touched(DATA_BYTES);
    for (auto _ : state) {
        __m128i sum = _mm_setzero_si128();
        for (std::size_t i = 0; i < DATA_BYTES; i += 16) {
            sum = _mm_xor_si128(sum, _mm_loadu_si128(reinterpret_cast<const __m128i*>(data.data() + i)));
        }
        benchmark::DoNotOptimize(sum);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * DATA_BYTES));
}
BENCHMARK(BM_ReadSequential)->Unit(benchmark::kMicrosecond);

// Writing all shards as one stream of whole lines.
void BM_WriteSequentialNonTemporal(benchmark::State& state) {
    const std::size_t bytes = shard_len() * (ORIG + REC);
    Bytes out = touched(bytes);
    for (auto _ : state) {
        stream_lines(out.data(), bytes, _mm_set1_epi8(static_cast<char>(state.iterations())));
        _mm_sfence();
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
}
BENCHMARK(BM_WriteSequentialNonTemporal)->Unit(benchmark::kMicrosecond);

// The shards written row after row within a tile, tile after tile, as the
// segment layer writes them (without the partial lines at the row ends).
void BM_WriteRowsNonTemporal(benchmark::State& state) {
    const std::size_t len = shard_len();
    const std::size_t tile = ondrel::jam::tile_bytes(ORIG, REC, false);
    Bytes out = touched(len * (ORIG + REC));
    for (auto _ : state) {
        const __m128i value = _mm_set1_epi8(static_cast<char>(state.iterations()));
        for (std::size_t begin = 0; begin < len; begin += tile) {
            const std::size_t count = std::min(tile, len - begin);
            for (std::uint64_t k = 0; k < ORIG + REC; ++k) stream_lines(out.data() + k * len + begin, count, value);
        }
        _mm_sfence();
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * len * (ORIG + REC)));
}
BENCHMARK(BM_WriteRowsNonTemporal)->Unit(benchmark::kMicrosecond);

// The least traffic an encode needs: the data read once and every shard
// written once, as sequential streams (the originals are the data itself).
void BM_EncodeTrafficSequential(benchmark::State& state) {
    const std::size_t len = shard_len();
    const Bytes data = touched(DATA_BYTES);
    Bytes out = touched(len * (ORIG + REC));
    const std::size_t recovery_bytes = len * REC;
    // The originals' whole lines, filled from the front of the data.
    const std::span<std::uint8_t> originals = whole_lines(out.data(), std::min(len * ORIG, DATA_BYTES));
    for (auto _ : state) {
        __m128i last = _mm_setzero_si128();
        for (std::size_t i = 0; i < originals.size(); i += 16) {
            last = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data.data() + i));
            _mm_stream_si128(reinterpret_cast<__m128i*>(originals.data() + i), last);
        }
        stream_lines(out.data() + len * ORIG, recovery_bytes, last);
        _mm_sfence();
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * DATA_BYTES));
}
BENCHMARK(BM_EncodeTrafficSequential)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
