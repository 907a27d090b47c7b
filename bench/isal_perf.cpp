// Encode throughput next to ISA-L: ISA-L's ec_init_tables + ec_encode_data
// (Cauchy matrix over GF(2^8), gf_gen_cauchy1_matrix) and ondrel's
// ReedSolomonEncoder (GF(2^16)), same count pairs, same random data, 64 KiB
// per shard.
//
// Reported rate: bytes of original data per second (original_count x 64 KiB
// per iteration). ISA-L's matrix is generated once per benchmark; each
// iteration builds its multiplication tables (ec_init_tables) and encodes
// straight from the caller's buffers into preallocated recovery buffers.
// Each ondrel iteration is one pass on a warm encoder, as in codec_perf: add
// the shards (copied into the work buffer), encode, walk the recovery views,
// on the kernel set DefaultEngine::create() picks. ISA-L cannot take more
// than 255 shards in all; those pairs are reported as skipped ("n/a").
//
// Unless --benchmark_out is given, results are also written as JSON next to
// the executable (isal_perf.json), where bench/peers_bench.py reads them.
#include <benchmark/benchmark.h>
#include <isa-l/erasure_code.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "codec/engine/engine_default.hpp"
#include "codec/reed_solomon.hpp"

namespace {

using ondrel::codec::ReedSolomonEncoder;
using ondrel::engine::DefaultEngine;
using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t SHARD_BYTES = 64 * 1024;
constexpr std::size_t ISAL_MAX_SHARDS = 255;

struct Counts {
    std::size_t original_count, recovery_count;
};
constexpr Counts COUNTS[] = {{10, 4}, {32, 16}, {64, 32}, {128, 64}, {200, 55}, {342, 681}, {1000, 1000}};

std::vector<Bytes> random_shards(std::size_t count, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::vector<Bytes> shards(count, Bytes(SHARD_BYTES));
    for (Bytes& shard : shards) {
        for (std::size_t i = 0; i < SHARD_BYTES; i += 8) {
            const std::uint64_t word = rng();
            std::memcpy(shard.data() + i, &word, sizeof word);
        }
    }
    return shards;
}

void set_rate(benchmark::State& state, Counts counts) {
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * counts.original_count * SHARD_BYTES));
}

void bm_isal_encode(benchmark::State& state, Counts counts) {
    const std::size_t k = counts.original_count, rec = counts.recovery_count, total = k + rec;
    if (total > ISAL_MAX_SHARDS) {
        state.SkipWithError("n/a: ISA-L takes at most 255 shards in all");
        return;
    }
    auto originals = random_shards(k, 1);
    std::vector<Bytes> recovery(rec, Bytes(SHARD_BYTES));
    std::vector<std::uint8_t*> in, out;
    for (Bytes& s : originals) in.push_back(s.data());
    for (Bytes& s : recovery) out.push_back(s.data());
    // total x k: identity on top, the recovery rows below it.
    std::vector<std::uint8_t> matrix(total * k);
    gf_gen_cauchy1_matrix(matrix.data(), static_cast<int>(total), static_cast<int>(k));
    std::vector<std::uint8_t> tables(32 * k * rec);
    for (auto _ : state) {
        ec_init_tables(static_cast<int>(k), static_cast<int>(rec), matrix.data() + k * k, tables.data());
        ec_encode_data(static_cast<int>(SHARD_BYTES), static_cast<int>(k), static_cast<int>(rec), tables.data(),
                       in.data(), out.data());
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    set_rate(state, counts);
    state.SetLabel("isa-l cauchy1");
}

void bm_ondrel_encode(benchmark::State& state, Counts counts) {
    const auto originals = random_shards(counts.original_count, 1);
    auto encoder = ReedSolomonEncoder::create(counts.original_count, counts.recovery_count, SHARD_BYTES);
    if (!encoder) {
        state.SkipWithError(encoder.error().debug_text().c_str());
        return;
    }
    for (auto _ : state) {
        bool ok = true;
        for (const Bytes& shard : originals) {
            if (auto added = encoder->add_original_shard(shard); !added) {
                state.SkipWithError(added.error().debug_text().c_str());
                ok = false;
                break;
            }
        }
        if (!ok) break;
        auto result = encoder->encode();
        if (!result) {
            state.SkipWithError(result.error().debug_text().c_str());
            break;
        }
        auto iter = result->recovery_iter();
        while (auto shard = iter.next()) benchmark::DoNotOptimize(shard->data());
    }
    set_rate(state, counts);
    state.SetLabel(std::string("ondrel ") + std::string(DefaultEngine::create().name()));
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<char*> args(argv, argv + argc);
    bool has_out = false;
    for (int i = 1; i < argc; ++i) has_out = has_out || std::strncmp(argv[i], "--benchmark_out=", 16) == 0;
    std::string out_flag, format_flag = "--benchmark_out_format=json";
    if (!has_out) {
        std::string self = argv[0];
        const auto slash = self.rfind('/');
        out_flag = "--benchmark_out=" + (slash == std::string::npos ? std::string() : self.substr(0, slash + 1)) +
                   "isal_perf.json";
        args.push_back(out_flag.data());
        args.push_back(format_flag.data());
    }
    int count = static_cast<int>(args.size());
    args.push_back(nullptr);
    benchmark::Initialize(&count, args.data());
    for (const Counts counts : COUNTS) {
        std::string suffix = "/";
        suffix.append(std::to_string(counts.original_count)).append("x");
        suffix.append(std::to_string(counts.recovery_count)).append("x64KiB");
        benchmark::RegisterBenchmark(("isal_encode" + suffix).c_str(), bm_isal_encode, counts)
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime();
        benchmark::RegisterBenchmark(("ondrel_encode" + suffix).c_str(), bm_ondrel_encode, counts)
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime();
    }
    benchmark::AddCustomContext("DefaultEngine::create()", DefaultEngine::create().name());
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
