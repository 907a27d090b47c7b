#include "codec/engine/engine.hpp"

#include <immintrin.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "codec/engine/failure.hpp"

namespace ondrel::engine {

void xor_into(std::span<Chunk> x, std::span<const Chunk> y) noexcept {
    const std::size_t n = std::min(x.size(), y.size());
    auto* dst = reinterpret_cast<std::uint8_t*>(x.data());
    const auto* src = reinterpret_cast<const std::uint8_t*>(y.data());
    // Byte-wise XOR does not depend on the layout; 8-byte words let the
    // compiler vectorise without alignment assumptions.
    for (std::size_t i = 0; i < n * CHUNK_BYTES; i += 8) {
        std::uint64_t a, b;
        std::memcpy(&a, dst + i, 8);
        std::memcpy(&b, src + i, 8);
        a ^= b;
        std::memcpy(dst + i, &a, 8);
    }
}

void xor_into(std::span<Chunk> x, std::span<const Chunk> y, std::span<const Chunk> z) noexcept {
    const std::size_t n = std::min({x.size(), y.size(), z.size()});
    auto* dst = reinterpret_cast<std::uint8_t*>(x.data());
    const auto* a = reinterpret_cast<const std::uint8_t*>(y.data());
    const auto* b = reinterpret_cast<const std::uint8_t*>(z.data());
    for (std::size_t i = 0; i < n * CHUNK_BYTES; i += 8) {
        std::uint64_t u, v, w;
        std::memcpy(&u, dst + i, 8);
        std::memcpy(&v, a + i, 8);
        std::memcpy(&w, b + i, 8);
        u ^= v ^ w;
        std::memcpy(dst + i, &u, 8);
    }
}

void xor_range(const ShardsRefMut& data, std::size_t x_pos, std::size_t y_pos, std::size_t count) {
    auto [x, y] = data.flat2_mut(x_pos, y_pos, count);
    xor_into(x, y);
}

namespace {

#include "codec/engine/generic/formal_derivative.hpp"

// The build baseline's 128-bit registers.
struct Sse128 {
    using Reg = __m128i;
    static constexpr std::size_t BYTES = 16;
    static Reg load(const std::uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
    static void store(std::uint8_t* p, Reg v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }
    static Reg bxor(Reg a, Reg b) { return _mm_xor_si128(a, b); }
};

void formal_derivative_baseline(std::uint8_t* base, std::size_t n, std::size_t row, std::size_t end) {
    formal_derivative_groups<Sse128>(base, n, row, end);
}

}  // namespace

void formal_derivative(const ShardsRefMut& data) { formal_derivative(data, formal_derivative_baseline); }

// The definition's sweep for fewer shards than one group; the grouped form
// (generic/formal_derivative.hpp) otherwise.
void formal_derivative(const ShardsRefMut& data, GroupedDerivative grouped) {
    check_derivative_args(data);
    const std::size_t n = data.shard_count();
    if (n < DERIVATIVE_GROUP) {
        for (std::size_t i = 1; i < n; ++i) {
            const std::size_t width = i & (~i + 1);
            xor_range(data, i - width, i, width);
        }
        return;
    }
    grouped(reinterpret_cast<std::uint8_t*>(data.data().data()), n, data.shard_len_64() * CHUNK_BYTES, n);
}

void Engine::formal_derivative(const ShardsRefMut& data) const {
    engine::formal_derivative(data, grouped_derivative());
}

GroupedDerivative Engine::grouped_derivative() const noexcept { return formal_derivative_baseline; }

namespace {

// Whether fft_of_derivative over n shards needs only the first quarter of the
// derivative.
bool quarter_suffices(std::size_t n, std::size_t truncated_size) noexcept {
    return n / 4 != 0 && truncated_size != 0 && truncated_size <= n / 4;
}

}  // namespace

std::size_t Engine::derivative_reads(std::size_t n, std::size_t truncated_size) noexcept {
    return quarter_suffices(n, truncated_size) ? 3 * (n / 4) : n;
}

void Engine::fft_of_derivative(const ShardsRefMut& data, std::size_t truncated_size) const {
    check_derivative_args(data);
    const std::size_t q = data.shard_count() / 4;
    if (!quarter_suffices(data.shard_count(), truncated_size)) {
        formal_derivative(data);
        fft(data, 0, data.shard_count(), truncated_size, 0);
        return;
    }
    if (q >= DERIVATIVE_GROUP) {
        grouped_derivative()(reinterpret_cast<std::uint8_t*>(data.data().data()), data.shard_count(),
                             data.shard_len_64() * CHUNK_BYTES, q);
    } else {
        const auto [first, rest] = data.split_at(q);
        formal_derivative(first);
        const auto [second, third] = rest.split_at(q);
        xor_into(first.data(), second.data(), third.data().first(first.data().size()));
    }
    fft(data, 0, q, truncated_size, 0);
}

void check_transform_args(const ShardsRefMut& data, std::size_t pos, std::size_t size,
                          std::size_t truncated_size, KnownShards zeros) {
    ensure(size != 0 && (size & (size - 1)) == 0, "transform size is not a power of two");
    ensure(truncated_size <= size, "transform truncated_size exceeds size");
    ensure(zeros.prefix <= size, "transform zero prefix exceeds size");
    ensure(pos <= data.shard_count() && size <= data.shard_count() - pos, "transform block outside the view");
}

void check_derivative_args(const ShardsRefMut& data) {
    const std::size_t n = data.shard_count();
    ensure((n & (n - 1)) == 0, "formal_derivative: shard count is not a power of two");
}

void check_copy_source(const ShardsRefMut& data, std::size_t pos, std::size_t size, std::size_t copy_of) {
    ensure(copy_of <= data.shard_count() && size <= data.shard_count() - copy_of,
           "transform source block outside the view");
    ensure(copy_of + size <= pos || pos + size <= copy_of, "transform source block overlaps the block");
}

GfElement skew_at(const SkewTable& skew, std::size_t index) {
    if (index >= skew.size()) {
        internal_failure(failure_text::index_out_of_bounds(skew.size(), index));
    }
    return skew[index];
}

}  // namespace ondrel::engine
