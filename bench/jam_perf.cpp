// The segment layer alone, without Python objects: how long coding takes, so
// that the Python benchmarks can tell coding from result building.
#include <benchmark/benchmark.h>
#include <sys/mman.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <random>
#include <span>
#include <vector>

#include "codec/reed_solomon.hpp"
#include "src/jam/jam.hpp"
#include "src/jam/layout.hpp"

namespace {

using ondrel::jam::Bytes;

Bytes random_bytes(std::size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    Bytes bytes(n);
    for (auto& b : bytes) b = static_cast<std::uint8_t>(rng());
    return bytes;
}

// Shards of `data` in vectors of their own, for the decode benchmarks' input.
std::vector<Bytes> encode_to_vectors(const Bytes& data, std::uint64_t orig, std::uint64_t rec) {
    const std::size_t shard_len = *ondrel::jam::plan_encode(data.size(), orig, rec);
    std::vector<Bytes> shards(orig + rec, Bytes(shard_len));
    std::vector<std::uint8_t*> rows;
    for (Bytes& shard : shards) rows.push_back(shard.data());
    if (!ondrel::jam::encode_into(data, orig, rec, rows)) std::abort();
    return shards;
}

// One segment of (orig, rec, size) from the benchmark's arguments, encoded
// into rows of storage the caller allocates (storage_bytes() of it).
class SegmentEncode {
public:
    explicit SegmentEncode(const benchmark::State& state)
        : orig_(static_cast<std::uint64_t>(state.range(0))),
          rec_(static_cast<std::uint64_t>(state.range(1))),
          data_(random_bytes(static_cast<std::size_t>(state.range(2)), 1)),
          shard_len_(*ondrel::jam::plan_encode(data_.size(), orig_, rec_)) {}

    [[nodiscard]] std::size_t storage_bytes() const { return shard_len_ * (orig_ + rec_); }

    // The timed loop; bytes of segment and segments per second.
    void run(benchmark::State& state, std::uint8_t* storage) const {
        std::vector<std::uint8_t*> rows;
        for (std::uint64_t k = 0; k < orig_ + rec_; ++k) rows.push_back(storage + k * shard_len_);
        for (auto _ : state) {
            auto coded = ondrel::jam::encode_into(data_, orig_, rec_, rows);
            benchmark::DoNotOptimize(coded);
            benchmark::DoNotOptimize(storage);
        }
        state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * data_.size()));
        state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
    }

private:
    std::uint64_t orig_;
    std::uint64_t rec_;
    Bytes data_;
    std::size_t shard_len_;
};

// One segment into storage allocated once, as the Python boundary provides
// it.
void BM_EncodeSegmentInto(benchmark::State& state) {
    const SegmentEncode segment(state);
    Bytes storage(segment.storage_bytes());
    segment.run(state, storage.data());
}
BENCHMARK(BM_EncodeSegmentInto)
    ->Args({342, 681, 4104})
    ->Args({342, 681, 1 << 20})
    ->Args({342, 681, 16 << 20})
    ->Args({64, 32, 16 << 20})
    ->Args({10, 4, 16 << 20})
    ->Unit(benchmark::kMicrosecond);

// Anonymous memory in 2 MiB pages where the kernel grants them
// (MADV_HUGEPAGE before the first touch); `granted` says whether it did.
class HugeBuffer {
public:
    explicit HugeBuffer(std::size_t bytes) : length_(bytes + HUGE) {
        void* map = mmap(nullptr, length_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (map == MAP_FAILED) std::abort();
        map_ = static_cast<std::uint8_t*>(map);
        data_ = map_ + (HUGE - reinterpret_cast<std::uintptr_t>(map_) % HUGE) % HUGE;
        const long before = huge_kib();
        granted_ = madvise(data_, bytes, MADV_HUGEPAGE) == 0;
        std::memset(data_, 0, bytes);
        granted_ = granted_ && huge_kib() > before;
    }
    HugeBuffer(const HugeBuffer&) = delete;
    HugeBuffer& operator=(const HugeBuffer&) = delete;
    ~HugeBuffer() { munmap(map_, length_); }

    [[nodiscard]] std::uint8_t* data() const { return data_; }
    [[nodiscard]] bool granted() const { return granted_; }

private:
    static constexpr std::size_t HUGE = std::size_t{2} << 20;
    // The process's anonymous memory in huge pages, in KiB.
    static long huge_kib() {
        std::ifstream rollup("/proc/self/smaps_rollup");
        for (std::string key; rollup >> key;) {
            long value = 0;
            if (key == "AnonHugePages:" && rollup >> value) return value;
        }
        return -1;
    }
    std::size_t length_;
    std::uint8_t* map_ = nullptr;
    std::uint8_t* data_ = nullptr;
    bool granted_ = false;
};

// BM_EncodeSegmentInto with the shards in 2 MiB pages: the part of the row
// traffic that is page walks (1,023 rows visit 1,023 pages per tile).
void BM_EncodeSegmentIntoHugePages(benchmark::State& state) {
    const SegmentEncode segment(state);
    const HugeBuffer storage(segment.storage_bytes());
    segment.run(state, storage.data());
    state.SetLabel(storage.granted() ? "2 MiB pages" : "2 MiB pages not granted");
}
BENCHMARK(BM_EncodeSegmentIntoHugePages)->Args({342, 681, 16 << 20})->Unit(benchmark::kMicrosecond);

// Decode from recovery shards only (as far as the counts allow); bytes of
// padded output per second.
void BM_DecodeSegment(benchmark::State& state) {
    const auto orig = static_cast<std::uint64_t>(state.range(0));
    const auto rec = static_cast<std::uint64_t>(state.range(1));
    const auto size = static_cast<std::size_t>(state.range(2));
    const auto shards = encode_to_vectors(random_bytes(size, 2), orig, rec);
    std::vector<ondrel::jam::ShardView> given;
    // Recovery shards first, then originals to make up the count.
    for (std::uint64_t r = 0; r < rec && given.size() < orig; ++r) given.push_back({shards[orig + r], orig + r});
    for (std::uint64_t j = 0; given.size() < orig; ++j) given.push_back({shards[j], j});
    Bytes out(*ondrel::jam::plan_decode(given, orig, rec));
    for (auto _ : state) {
        auto coded = ondrel::jam::decode_into(given, orig, rec, out.data());
        benchmark::DoNotOptimize(coded);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * orig * shards[0].size()));
}
BENCHMARK(BM_DecodeSegment)
    ->Args({342, 681, 16 << 20})
    ->Args({64, 32, 16 << 20})
    ->Args({10, 4, 16 << 20})
    ->Unit(benchmark::kMicrosecond);

// What bounds BM_EncodeSegmentInto: its two halves measured apart, on the same
// tiles. RowTraffic is encode_rows_only_into, which moves the rows exactly as
// encode_into does (gathers and copies the originals, scatters the recovery
// rows through RowStream, with the same conversions) and codes nothing;
// CodecOnly codes the same tiles with no row movement.
void BM_EncodeRowTrafficOnly(benchmark::State& state) {
    const auto orig = static_cast<std::uint64_t>(state.range(0));
    const auto rec = static_cast<std::uint64_t>(state.range(1));
    const auto size = static_cast<std::size_t>(state.range(2));
    const Bytes data = random_bytes(size, 1);
    const std::size_t shard_len = *ondrel::jam::plan_encode(size, orig, rec);
    Bytes storage(shard_len * (orig + rec));
    std::vector<std::uint8_t*> rows;
    for (std::uint64_t k = 0; k < orig + rec; ++k) rows.push_back(storage.data() + k * shard_len);
    for (auto _ : state) {
        auto moved = ondrel::jam::encode_rows_only_into(data, orig, rec, rows);
        benchmark::DoNotOptimize(moved);
        benchmark::DoNotOptimize(storage.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
}
BENCHMARK(BM_EncodeRowTrafficOnly)->Args({342, 681, 16 << 20})->Unit(benchmark::kMicrosecond);

void BM_EncodeCodecOnly(benchmark::State& state) {
    const auto orig = static_cast<std::uint64_t>(state.range(0));
    const auto rec = static_cast<std::uint64_t>(state.range(1));
    const auto size = static_cast<std::size_t>(state.range(2));
    const std::size_t shard_len = *ondrel::jam::plan_encode(size, orig, rec);
    const std::size_t tile = ondrel::jam::tile_bytes(orig, rec, false);
    const Bytes piece = random_bytes(tile, 3);
    auto encoder = *ondrel::codec::ReedSolomonEncoder::create(orig, rec, tile);
    for (auto _ : state) {
        for (std::size_t begin = 0; begin < shard_len; begin += tile) {
            static_cast<void>(encoder.reset(orig, rec, tile));
            for (std::uint64_t j = 0; j < orig; ++j) static_cast<void>(encoder.add_original_shard(piece));
            auto result = encoder.encode();
            benchmark::DoNotOptimize(result);
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
}
BENCHMARK(BM_EncodeCodecOnly)->Args({342, 681, 16 << 20})->Unit(benchmark::kMicrosecond);

// The codec half of BM_DecodeSegment: the same tiles decoded from the first
// orig recovery shards (as far as there are), no row movement.
void BM_DecodeCodecOnly(benchmark::State& state) {
    const auto orig = static_cast<std::uint64_t>(state.range(0));
    const auto rec = static_cast<std::uint64_t>(state.range(1));
    const auto size = static_cast<std::size_t>(state.range(2));
    const std::size_t shard_len = *ondrel::jam::plan_encode(size, orig, rec);
    const std::size_t tile = ondrel::jam::tile_bytes(orig, rec, true);
    const Bytes piece = random_bytes(tile, 4);
    auto decoder = *ondrel::codec::ReedSolomonDecoder::create(orig, rec, tile);
    for (auto _ : state) {
        for (std::size_t begin = 0; begin < shard_len; begin += tile) {
            static_cast<void>(decoder.reset(orig, rec, tile));
            std::uint64_t given = 0;
            for (std::uint64_t r = 0; r < rec && given < orig; ++r, ++given) {
                static_cast<void>(decoder.add_recovery_shard(r, piece));
            }
            for (std::uint64_t j = orig - 1; given < orig; --j, ++given) {
                static_cast<void>(decoder.add_original_shard(j, piece));
            }
            auto result = decoder.decode();
            benchmark::DoNotOptimize(result);
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * orig * shard_len));
}
BENCHMARK(BM_DecodeCodecOnly)->Args({342, 681, 16 << 20})->Unit(benchmark::kMicrosecond);

// A batch of 4,104-byte segments through the pool into storage allocated
// once; the CPU column is the whole process (all workers), which other load on
// the machine skews less.
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
