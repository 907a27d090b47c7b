// Every vector kernel set this host runs must produce exactly the bytes of the
// scalar reference engine. Kernel data sits in "electric fence" buffers: flush
// against (or a few bytes before) an inaccessible page, at addresses that are
// not multiples of 16 or 32, so any over-read faults or misalignment shows.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "codec/engine/cpu_features.hpp"
#include "codec/engine/engine_default.hpp"
#include "codec/engine/engine_scalar.hpp"
#include "codec/engine/failure.hpp"

namespace ondrel::engine {
namespace {

// Writable bytes that end `slack` bytes before a PROT_NONE page.
class FencedBuffer {
public:
    FencedBuffer(std::size_t bytes, std::size_t slack) {
        const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
        const std::size_t usable = (bytes + slack + page - 1) / page * page;
        mapped_ = usable + page;
        void* base = mmap(nullptr, mapped_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (base == MAP_FAILED) throw std::bad_alloc();
        base_ = static_cast<std::uint8_t*>(base);
        if (mprotect(base_ + usable, page, PROT_NONE) != 0) {
            munmap(base_, mapped_);
            throw std::bad_alloc();
        }
        data_ = base_ + usable - slack - bytes;
    }
    FencedBuffer(const FencedBuffer&) = delete;
    FencedBuffer& operator=(const FencedBuffer&) = delete;
    ~FencedBuffer() { munmap(base_, mapped_); }

    [[nodiscard]] std::uint8_t* data() const noexcept { return data_; }

private:
    std::uint8_t* base_ = nullptr;
    std::size_t mapped_ = 0;
    std::uint8_t* data_ = nullptr;
};

// Distances of the data's end from the fence: 0 puts the last byte flush
// against it (start 64-aligned); the others start at addresses that are not
// multiples of 16 (or 32).
constexpr std::size_t SLACKS[] = {0, 1, 8, 24, 40};

// A copy of `chunks` placed in a fenced buffer.
struct FencedChunks {
    FencedChunks(const std::vector<Chunk>& chunks, std::size_t slack)
        : buffer(chunks.size() * CHUNK_BYTES, slack), count(chunks.size()) {
        std::memcpy(buffer.data(), chunks.data(), count * CHUNK_BYTES);
    }
    [[nodiscard]] std::span<Chunk> span() const { return {reinterpret_cast<Chunk*>(buffer.data()), count}; }
    [[nodiscard]] bool equals(const std::vector<Chunk>& other) const {
        return std::memcmp(buffer.data(), other.data(), count * CHUNK_BYTES) == 0;
    }
    FencedBuffer buffer;
    std::size_t count;
};

std::vector<Chunk> random_chunks(std::size_t count, std::mt19937& rng) {
    std::vector<Chunk> chunks(count);
    for (Chunk& c : chunks) std::generate(std::begin(c.bytes), std::end(c.bytes), [&] { return rng() & 0xFF; });
    return chunks;
}

const Scalar& reference() {
    static const Scalar scalar(get_exp_log(), get_skew());
    return scalar;
}

// The vector kernel sets this host runs (every set except the reference).
std::vector<std::string> vector_kernels() {
    std::vector<std::string> names;
    for (const char* name : DefaultEngine::available_kernels()) {
        if (std::string(name) != "scalar") names.emplace_back(name);
    }
    return names;
}

DefaultEngine kernel(const std::string& name) {
    std::optional<DefaultEngine> engine = DefaultEngine::with_kernel(name.c_str());
    if (!engine) throw std::runtime_error("kernel set not available: " + name);
    return std::move(*engine);
}

struct TransformCase {
    bool forward;
    std::size_t size, truncated_size, pos, skew_delta, len64;
};

std::string describe(const TransformCase& c) {
    return std::string(c.forward ? "fft" : "ifft") + " size " + std::to_string(c.size) + " truncated " +
           std::to_string(c.truncated_size) + " pos " + std::to_string(c.pos) + " skew_delta " +
           std::to_string(c.skew_delta) + " chunks/shard " + std::to_string(c.len64);
}

// Sizes 1..4096; truncated 0, 1, odd and whole; the block at 0 with skew 0
// and blocks further in with skew pos + size; 1, 2 and 5 chunks per shard
// (large blocks with one chunk only, to keep the reference fast); and a few
// other skew offsets for the remaining combinations of skipped products.
std::vector<TransformCase> transform_cases() {
    std::vector<TransformCase> cases;
    for (std::size_t size = 1; size <= 4096; size *= 2) {
        std::vector<std::size_t> truncated = {0, 1, std::min(size, size / 2 + 1), size};
        std::sort(truncated.begin(), truncated.end());
        truncated.erase(std::unique(truncated.begin(), truncated.end()), truncated.end());
        const std::vector<std::size_t> lens = size <= 256 ? std::vector<std::size_t>{1, 2, 5}
                                                          : std::vector<std::size_t>{1};
        for (bool forward : {true, false}) {
            for (std::size_t t : truncated) {
                for (std::size_t pos : {std::size_t{0}, size, std::size_t{3}}) {
                    const std::size_t skew_delta = pos == 0 ? 0 : pos + size;
                    for (std::size_t len64 : lens) cases.push_back({forward, size, t, pos, skew_delta, len64});
                }
            }
        }
    }
    // Skew offsets outside the codec's two forms. The passes fuse the three
    // butterfly logarithms of a group, each of which may skip its product;
    // the codec forms only meet none, m01, or m01 and m02 skipped. With size 4
    // (one group, base = skew_delta) skew_delta 2 skips m02, 5 skips m23 and 1
    // skips m01 and m23; size 16 meets these again beside groups without skips.
    for (std::size_t size : {std::size_t{4}, std::size_t{16}}) {
        for (std::size_t skew_delta : {std::size_t{1}, std::size_t{2}, std::size_t{5}}) {
            for (bool forward : {true, false}) {
                for (std::size_t len64 : {std::size_t{1}, std::size_t{2}, std::size_t{5}}) {
                    cases.push_back({forward, size, size, 3, skew_delta, len64});
                }
            }
        }
    }
    return cases;
}

TEST(VectorKernels, TransformsMatchScalar) {
    const std::vector<std::string> kernels = vector_kernels();
    std::vector<DefaultEngine> engines;
    for (const std::string& name : kernels) engines.push_back(kernel(name));
    std::mt19937 rng(20240611);
    std::size_t slack_index = 0;
    for (const TransformCase& c : transform_cases()) {
        const std::size_t shard_count = c.pos + c.size;
        const std::vector<Chunk> input = random_chunks(shard_count * c.len64, rng);
        std::vector<Chunk> expected = input;
        const ShardsRefMut ref_view(expected, shard_count, c.len64);
        if (c.forward) {
            reference().fft(ref_view, c.pos, c.size, c.truncated_size, c.skew_delta);
        } else {
            reference().ifft(ref_view, c.pos, c.size, c.truncated_size, c.skew_delta);
        }
        for (std::size_t k = 0; k < engines.size(); ++k) {
            const std::size_t slack = SLACKS[slack_index++ % std::size(SLACKS)];
            const FencedChunks data(input, slack);
            const ShardsRefMut view(data.span(), shard_count, c.len64);
            if (c.forward) {
                engines[k].fft(view, c.pos, c.size, c.truncated_size, c.skew_delta);
            } else {
                engines[k].ifft(view, c.pos, c.size, c.truncated_size, c.skew_delta);
            }
            ASSERT_TRUE(data.equals(expected)) << kernels[k] << ": " << describe(c) << ", slack " << slack;
        }
    }
}

// Known zeros only let the inverse transform skip work: every kernel set
// (scalar included) gives the bytes of the plain transform on input whose
// first `prefix` shards are zero and, with `tail`, whose shards from the
// truncation on are zero, although the tail then holds garbage on entry.
// Truncations cover both sides of the windows in which the last pass of an
// odd size computes its second group from its first run or first two runs.
TEST(VectorKernels, InverseTransformWithKnownZerosMatchesPlainTransform) {
    std::vector<std::string> kernels = vector_kernels();
    kernels.emplace_back("scalar");
    std::mt19937 rng(77);
    for (std::size_t size : {1, 2, 4, 8, 16, 32, 128, 512, 2048}) {
        const std::size_t h = size / 2;
        for (std::size_t truncated :
             {std::size_t{0}, std::size_t{1}, h, h + 1, h + h / 4, h + h / 4 + 1, h + h / 2, h + h / 2 + 1, size}) {
            if (truncated > size) continue;
            for (std::size_t prefix : {std::size_t{0}, std::size_t{1}, std::size_t{4}, size / 4 + 1, h, h + 3, size}) {
                if (prefix > size) continue;
                for (bool tail : {false, true}) {
                    const std::size_t pos = 3;
                    const std::size_t len64 = size <= 128 ? 2 : 1;
                    const std::size_t shard_count = pos + size;
                    std::vector<Chunk> input = random_chunks(shard_count * len64, rng);
                    std::fill(input.begin() + pos * len64, input.begin() + (pos + prefix) * len64, Chunk{});
                    std::vector<Chunk> expected = input;
                    if (tail) std::fill(expected.begin() + (pos + truncated) * len64, expected.end(), Chunk{});
                    reference().ifft(ShardsRefMut(expected, shard_count, len64), pos, size, truncated, pos + size);
                    for (const std::string& name : kernels) {
                        std::vector<Chunk> data = input;
                        kernel(name).ifft(ShardsRefMut(data, shard_count, len64), pos, size, truncated, pos + size,
                                          {prefix, tail});
                        ASSERT_TRUE(std::memcmp(data.data(), expected.data(), data.size() * CHUNK_BYTES) == 0)
                            << name << ": size " << size << " truncated " << truncated << " zero prefix " << prefix
                            << (tail ? " zero tail" : "");
                    }
                }
            }
        }
        std::vector<Chunk> chunks(size);
        EXPECT_THROW(reference().ifft(ShardsRefMut(chunks, size, 1), 0, size, size, 0, {size + 1, false}),
                     InternalFailure);
    }
}

// A forward transform of a copy of another block gives what copying and then
// transforming in place gives, in every shard of the block (the truncation
// decides which groups run, whatever their source), and leaves the source as
// it was; on every kernel set, scalar included, with the source before and
// after the block.
TEST(VectorKernels, ForwardTransformOfACopyEqualsCopyThenTransform) {
    std::vector<std::string> kernels = vector_kernels();
    kernels.emplace_back("scalar");
    std::mt19937 rng(78);
    for (std::size_t size : {1, 2, 4, 8, 16, 32, 128, 512}) {
        for (std::size_t truncated : {std::size_t{0}, std::size_t{1}, size / 2 + 1, size}) {
            if (truncated > size) continue;
            for (bool source_first : {true, false}) {
                const std::size_t len64 = size <= 32 ? 3 : 1;
                const std::size_t gap = 5;  // shards between the two blocks
                const std::size_t shard_count = 2 * size + gap;
                const std::size_t pos = source_first ? size + gap : 0;
                const std::size_t source = source_first ? 0 : size + gap;
                const std::size_t skew_delta = 3 * size;
                const std::vector<Chunk> input = random_chunks(shard_count * len64, rng);
                std::vector<Chunk> expected = input;
                std::copy_n(input.begin() + source * len64, size * len64, expected.begin() + pos * len64);
                reference().fft(ShardsRefMut(expected, shard_count, len64), pos, size, truncated, skew_delta);
                for (const std::string& name : kernels) {
                    std::vector<Chunk> data = input;
                    kernel(name).fft(ShardsRefMut(data, shard_count, len64), pos, size, truncated, skew_delta, source);
                    ASSERT_TRUE(std::memcmp(data.data(), expected.data(), data.size() * CHUNK_BYTES) == 0)
                        << name << ": size " << size << " truncated " << truncated
                        << (source_first ? ", source first" : ", source after");
                }
            }
        }
    }
    std::vector<Chunk> chunks(12);
    const ShardsRefMut view(chunks, 12, 1);
    for (const std::size_t source : {std::size_t{3}, std::size_t{6}, std::size_t{9}}) {
        // Overlapping from either side, or reaching past the view.
        EXPECT_THROW(reference().fft(view, 5, 4, 4, 0, source), InternalFailure) << source;
        EXPECT_THROW(kernel(vector_kernels().front()).fft(view, 5, 4, 4, 0, source), InternalFailure) << source;
    }
}

// The transforms written out from their definition, one butterfly at a time
// on the vector of one element position: passes of two layers as four
// butterflies per offset, and the single layer of odd log2(size) as a sweep
// of its own. The engines reorder this work (pass and single layer fused, in
// tiles of offsets), so this is the check that the reordering keeps every
// shard's sequence of operations.
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
    if (dist4 == 2) {
        for (std::size_t r = 0; r < truncated; r += 2) bfly(r, r + 1, skew[r + delta]);
    }
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
    if (dist < size) {
        for (std::size_t i = 0; i < dist; ++i) bfly(i, i + dist, skew[dist + delta - 1]);
    }
}

GfElement element_at(const Chunk& c, std::size_t j) {
    return static_cast<GfElement>(c.bytes[j] | c.bytes[32 + j] << 8);
}

// Odd and even log2(size); bounds that fall mid-group in the last pass (odd
// counts, one past a half, the codec's 342 and 1193), at group borders and
// at 0; 3 chunks per shard makes the fused inverse pass end on a partial
// tile of offsets, 130 chunks makes every tile a single offset.
TEST(VectorKernels, TransformsMatchTheirDefinition) {
    struct Case {
        std::size_t size;
        std::vector<std::size_t> truncated;
        std::vector<std::size_t> lens;
    };
    const std::vector<Case> cases = {
        {2, {0, 1, 2}, {1, 3}},
        {4, {0, 1, 3, 4}, {1}},
        {8, {0, 1, 2, 3, 5, 7, 8}, {1, 3, 130}},
        {16, {0, 1, 5, 9, 16}, {1, 3}},
        {32, {0, 1, 3, 7, 15, 16, 17, 19, 31, 32}, {1, 3, 130}},
        {128, {0, 5, 63, 64, 65, 67, 128}, {1, 3}},
        {512, {0, 1, 7, 9, 255, 256, 257, 259, 342, 511, 512}, {1, 3}},
        {2048, {0, 5, 342, 1023, 1024, 1025, 1193, 2047, 2048}, {1, 3}},
    };
    std::vector<std::string> kernels = vector_kernels();
    kernels.emplace_back("scalar");
    std::mt19937 rng(4242);
    for (const Case& c : cases) {
        for (std::size_t t : c.truncated) {
            for (std::size_t len64 : c.lens) {
                for (const bool forward : {true, false}) {
                    // The block at 0 with skew 0, and one further in with skew pos + size.
                    for (const std::size_t pos : {std::size_t{0}, c.size}) {
                        const std::size_t delta = pos == 0 ? 0 : pos + c.size;
                        const std::size_t shard_count = pos + c.size;
                        const std::vector<Chunk> input = random_chunks(shard_count * len64, rng);
                        std::vector<Chunk> expected = input;
                        for (std::size_t e = 0; e < len64 * 32; ++e) {
                            const std::size_t chunk = e / 32, j = e % 32;
                            std::vector<GfElement> v(c.size);
                            for (std::size_t s = 0; s < c.size; ++s) {
                                v[s] = element_at(input[(pos + s) * len64 + chunk], j);
                            }
                            if (forward) {
                                fft_by_definition(v, c.size, t, delta);
                            } else {
                                ifft_by_definition(v, c.size, t, delta);
                            }
                            for (std::size_t s = 0; s < c.size; ++s) {
                                Chunk& out = expected[(pos + s) * len64 + chunk];
                                out.bytes[j] = static_cast<std::uint8_t>(v[s]);
                                out.bytes[32 + j] = static_cast<std::uint8_t>(v[s] >> 8);
                            }
                        }
                        for (const std::string& name : kernels) {
                            const DefaultEngine engine = kernel(name);
                            std::vector<Chunk> data = input;
                            const ShardsRefMut view(data, shard_count, len64);
                            if (forward) {
                                engine.fft(view, pos, c.size, t, delta);
                            } else {
                                engine.ifft(view, pos, c.size, t, delta);
                            }
                            ASSERT_TRUE(std::memcmp(data.data(), expected.data(), data.size() * CHUNK_BYTES) == 0)
                                << name << ": " << describe({forward, c.size, t, pos, delta, len64});
                        }
                    }
                }
            }
        }
    }
}

TEST(VectorKernels, MulMatchesScalar) {
    std::mt19937 rng(77);
    std::vector<GfElement> logs = {0, 1, 2, 21845, 43690, 65534, 65535};
    for (int i = 0; i < 8; ++i) logs.push_back(static_cast<GfElement>(rng()));
    for (const std::string& name : vector_kernels()) {
        const DefaultEngine engine = kernel(name);
        std::size_t slack_index = 0;
        for (GfElement log_m : logs) {
            for (std::size_t count : {1, 2, 5, 33}) {
                std::vector<Chunk> input = random_chunks(count, rng);
                // Zero elements, including zero low or high byte alone.
                input[0].bytes[3] = input[0].bytes[35] = 0;
                input[0].bytes[4] = 0;
                input[0].bytes[37] = 0;
                std::vector<Chunk> expected = input;
                reference().mul(expected, log_m);
                const std::size_t slack = SLACKS[slack_index++ % std::size(SLACKS)];
                const FencedChunks data(input, slack);
                engine.mul(data.span(), log_m);
                ASSERT_TRUE(data.equals(expected))
                    << name << ": log_m " << log_m << ", chunks " << count << ", slack " << slack;
            }
        }
    }
}

TEST(VectorKernels, FormalDerivativeMatchesTheSweep) {
    // Expected bytes from the defining sweep: for i = 1..n-1 with w the lowest
    // set bit of i, shards [i, i + w) are XORed into [i - w, i). Rows shorter
    // than, equal to and not a multiple of the kernels' 512-byte slices.
    struct Case {
        std::size_t shards;
        std::size_t len64;
    };
    const Case cases[] = {{1, 1}, {2, 2}, {4, 1},  {8, 1},    {8, 9},   {16, 2},
                          {32, 8}, {64, 9}, {256, 1}, {1024, 3}, {2048, 8}, {4096, 1}};
    std::mt19937 rng(31337);
    for (const std::string& name : vector_kernels()) {
        const DefaultEngine engine = kernel(name);
        std::size_t slack_index = 0;
        for (const Case& c : cases) {
            const std::vector<Chunk> input = random_chunks(c.shards * c.len64, rng);
            std::vector<Chunk> expected = input;
            const ShardsRefMut ref_view(expected, c.shards, c.len64);
            for (std::size_t i = 1; i < c.shards; ++i) {
                const std::size_t w = i & (~i + 1);
                xor_range(ref_view, i - w, i, w);
            }
            const std::size_t slack = SLACKS[slack_index++ % std::size(SLACKS)];
            const FencedChunks data(input, slack);
            engine.formal_derivative(ShardsRefMut(data.span(), c.shards, c.len64));
            ASSERT_TRUE(data.equals(expected))
                << name << ": " << c.shards << " shards of " << c.len64 << " chunks, slack " << slack;
        }
        std::vector<Chunk> six = random_chunks(6, rng);
        EXPECT_THROW(engine.formal_derivative(ShardsRefMut(six, 6, 1)), InternalFailure) << name;
        std::vector<Chunk> twelve = random_chunks(12, rng);
        EXPECT_THROW(engine.formal_derivative(ShardsRefMut(twelve, 12, 1)), InternalFailure) << name;
    }
}

// fft_of_derivative against its two steps on the scalar reference, for the
// shards below the truncation (the rest is unspecified): truncations around
// a quarter of the shards, where only a quarter of the derivative is taken.
TEST(VectorKernels, FftOfDerivativeMatchesDerivativeThenFft) {
    std::vector<std::string> kernels = vector_kernels();
    kernels.emplace_back("scalar");
    std::mt19937 rng(8128);
    for (const std::size_t n : {1, 2, 4, 8, 16, 64, 512, 2048}) {
        for (const std::size_t t : {std::size_t{0}, std::size_t{1}, n / 4 - 1, n / 4, n / 4 + 1, n}) {
            if (t > n || (t == n / 4 - 1 && n < 8)) continue;
            for (const std::size_t len64 : {1, 3}) {
                const std::vector<Chunk> input = random_chunks(n * len64, rng);
                std::vector<Chunk> expected = input;
                const ShardsRefMut ref_view(expected, n, len64);
                reference().formal_derivative(ref_view);
                reference().fft(ref_view, 0, n, t, 0);
                for (const std::string& name : kernels) {
                    std::vector<Chunk> data = input;
                    kernel(name).fft_of_derivative(ShardsRefMut(data, n, len64), t);
                    ASSERT_TRUE(std::memcmp(data.data(), expected.data(), t * len64 * CHUNK_BYTES) == 0)
                        << name << ": " << n << " shards of " << len64 << " chunks, truncated " << t;
                }
            }
        }
    }
    // A count that is not a power of two fails even where a quarter of it is one.
    for (const std::size_t n : {6, 17}) {
        std::vector<Chunk> chunks = random_chunks(n, rng);
        EXPECT_THROW(kernel("scalar").fft_of_derivative(ShardsRefMut(chunks, n, 1), 1), InternalFailure) << n;
    }
}

TEST(VectorKernels, InvalidTransformArgumentsAreInternalFailures) {
    struct Case {
        const char* what;
        std::size_t pos, size, truncated_size, skew_delta;
    };
    const Case cases[] = {
        {"size not a power of two", 0, 3, 3, 0},
        {"truncated beyond size", 0, 4, 5, 0},
        {"block past the view", 6, 4, 4, 0},
        {"SKEW index past 65534", 0, 4, 4, 65533},
    };
    std::vector<Chunk> chunks(8);
    const ShardsRefMut view(chunks, 8, 1);
    for (const std::string& name : vector_kernels()) {
        const DefaultEngine engine = kernel(name);
        for (const Case& c : cases) {
            EXPECT_THROW(engine.fft(view, c.pos, c.size, c.truncated_size, c.skew_delta), InternalFailure)
                << name << ": " << c.what;
            EXPECT_THROW(engine.ifft(view, c.pos, c.size, c.truncated_size, c.skew_delta), InternalFailure)
                << name << ": " << c.what;
        }
    }
}

TEST(VectorKernels, EvalPolyMatchesScalar) {
    std::mt19937 rng(5);
    struct Input {
        const char* what;
        std::vector<GfElement> values;
    };
    std::vector<Input> inputs;
    inputs.push_back({"random 16-bit", std::vector<GfElement>(GF_ORDER)});
    std::generate(inputs.back().values.begin(), inputs.back().values.end(), [&] { return rng() & 0xFFFF; });
    inputs.push_back({"all 65535", std::vector<GfElement>(GF_ORDER, 65535)});
    inputs.push_back({"sparse erasures", std::vector<GfElement>(GF_ORDER, 0)});
    for (int i = 0; i < 300; ++i) inputs.back().values[rng() % 1000] = 1;
    // Sums and differences that land on the wrap-around of add_mod / sub_mod
    // (exactly 65535, 65536, equal operands, 0 against 65535).
    constexpr GfElement EDGES[] = {0, 1, 2, 32767, 32768, 65533, 65534, 65535};
    inputs.push_back({"edge residues", std::vector<GfElement>(GF_ORDER)});
    std::generate(inputs.back().values.begin(), inputs.back().values.end(),
                  [&] { return EDGES[rng() % std::size(EDGES)]; });
    inputs.push_back({"alternating 0 / 65535", std::vector<GfElement>(GF_ORDER)});
    for (std::size_t i = 0; i < GF_ORDER; ++i) inputs.back().values[i] = (i / 3) % 2 == 0 ? 0 : 65535;

    std::vector<std::pair<std::string, DefaultEngine>> kernels;
    for (const std::string& name : vector_kernels()) kernels.emplace_back(name, kernel(name));

    std::size_t slack_index = 0;
    for (const Input& input : inputs) {
        // Block and group borders of the paired passes (16, 64, 256, 1024,
        // 4096, 16384) from both sides, and sizes past 65536, whose groups
        // wrap around.
        for (std::size_t truncated :
             {std::size_t{0}, std::size_t{1}, std::size_t{4}, std::size_t{5}, std::size_t{15}, std::size_t{16},
              std::size_t{17}, std::size_t{33}, std::size_t{63}, std::size_t{100}, std::size_t{257},
              std::size_t{1000}, std::size_t{1025}, std::size_t{4095}, std::size_t{8193}, std::size_t{16385},
              std::size_t{40000}, std::size_t{49153}, std::size_t{65535}, GF_ORDER, GF_ORDER + 4,
              GF_ORDER + 20000}) {
            std::vector<GfElement> expected = input.values;
            Scalar::eval_poly(std::span<GfElement, GF_ORDER>(expected.data(), GF_ORDER), truncated);
            for (const auto& [name, eval_poly] : kernels) {
                // Even distances keep 16-bit alignment; the starts are not
                // multiples of 16 except for the flush case.
                constexpr std::size_t EVAL_SLACKS[] = {0, 2, 6, 18, 42};
                const std::size_t slack = EVAL_SLACKS[slack_index++ % std::size(EVAL_SLACKS)];
                const FencedBuffer buffer(GF_ORDER * sizeof(GfElement), slack);
                auto* values = reinterpret_cast<GfElement*>(buffer.data());
                std::memcpy(values, input.values.data(), GF_ORDER * sizeof(GfElement));
                eval_poly.eval_poly(std::span<GfElement, GF_ORDER>(values, GF_ORDER), truncated);
                ASSERT_TRUE(std::equal(expected.begin(), expected.end(), values))
                    << name << ": " << input.what << ", truncated " << truncated << ", slack " << slack;
            }
        }
    }
}

TEST(KernelSelection, ForcedKernelIsTheOneThatRuns) {
    const std::vector<const char*> names = DefaultEngine::available_kernels();
    ASSERT_FALSE(names.empty());
    for (const char* name : names) {
        const std::optional<DefaultEngine> engine = DefaultEngine::with_kernel(name);
        ASSERT_TRUE(engine.has_value()) << name;
        EXPECT_STREQ(engine->name(), name);
    }
    EXPECT_FALSE(DefaultEngine::with_kernel("avx512").has_value());
}

TEST(KernelSelection, AvailableSetsFollowTheCpu) {
    const std::vector<const char*> available = DefaultEngine::available_kernels();
    const std::vector<std::string> names(available.begin(), available.end());
    const bool avx512_gfni = ((cpu_features() & FEATURE_AVX512_GFNI) != 0);
    const bool avx2 = ((cpu_features() & FEATURE_AVX2) != 0);
    std::vector<std::string> expected;
    if (avx512_gfni) expected.insert(expected.end(), {"avx512gfni", "avx512gfni-zmm"});
    if (avx2) expected.emplace_back("avx2");
    expected.insert(expected.end(), {"ssse3", "scalar"});
    EXPECT_EQ(names, expected);
    EXPECT_EQ(DefaultEngine::with_kernel("avx512gfni").has_value(), avx512_gfni);
    EXPECT_EQ(DefaultEngine::with_kernel("avx512gfni-zmm").has_value(), avx512_gfni);
    EXPECT_EQ(DefaultEngine::with_kernel("avx2").has_value(), avx2);
}

TEST(KernelSelection, PicksTheBestSetThatSuitsTheCpu) {
    constexpr CpuFeatures GFNI = FEATURE_AVX2 | FEATURE_AVX512_GFNI | FEATURE_AVX512_VBMI;
    struct Case {
        const char* forced;
        CpuFeatures cpu;
        const char* set;
    };
    const Case cases[] = {
        {nullptr, GFNI | FEATURE_HALF_WIDTH_512, "avx512gfni"},
        {nullptr, GFNI, "avx512gfni-zmm"},
        {"avx512gfni", GFNI, "avx512gfni"},
        {"avx512gfni-zmm", GFNI | FEATURE_HALF_WIDTH_512, "avx512gfni-zmm"},
        {nullptr, FEATURE_AVX2 | FEATURE_HALF_WIDTH_512, "avx2"},
        {"avx512gfni-zmm", FEATURE_AVX2, nullptr},
    };
    for (const Case& c : cases) {
        const KernelChoice choice = choose_kernel_set(c.forced, c.cpu);
        EXPECT_STREQ(choice.set != nullptr ? choice.set->name : nullptr, c.set)
            << (c.forced != nullptr ? c.forced : "unset") << " on " << c.cpu;
    }
    EXPECT_STREQ(DefaultEngine::create().name(), choose_kernel_set(nullptr, cpu_features()).set->name);
}

}  // namespace
}  // namespace ondrel::engine
