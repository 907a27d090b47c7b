#include "codec/engine/engine_scalar.hpp"

namespace ondrel::engine {

#include "codec/engine/generic/transform.hpp"

namespace {

GfElement load(const Chunk& chunk, std::size_t j) noexcept {
    return static_cast<GfElement>(chunk.bytes[j] | (chunk.bytes[32 + j] << 8));
}

void store(Chunk& chunk, std::size_t j, GfElement value) noexcept {
    chunk.bytes[j] = static_cast<std::uint8_t>(value);
    chunk.bytes[32 + j] = static_cast<std::uint8_t>(value >> 8);
}

}  // namespace

void Scalar::fft_butterfly(std::span<Chunk> x, std::span<Chunk> y, GfElement log_m) const noexcept {
    for (std::size_t c = 0; c < x.size(); ++c) {
        for (std::size_t j = 0; j < 32; ++j) {
            GfElement a = load(x[c], j);
            GfElement b = load(y[c], j);
            if (log_m != SKIP_PRODUCT) a ^= engine::mul(b, log_m, exp_log_);
            b ^= a;
            store(x[c], j, a);
            store(y[c], j, b);
        }
    }
}

void Scalar::ifft_butterfly(std::span<Chunk> x, std::span<Chunk> y, GfElement log_m) const noexcept {
    for (std::size_t c = 0; c < x.size(); ++c) {
        for (std::size_t j = 0; j < 32; ++j) {
            GfElement a = load(x[c], j);
            GfElement b = load(y[c], j);
            b ^= a;
            if (log_m != SKIP_PRODUCT) a ^= engine::mul(b, log_m, exp_log_);
            store(x[c], j, a);
            store(y[c], j, b);
        }
    }
}

void Scalar::fft_four(Chunk* s0, Chunk* s1, Chunk* s2, Chunk* s3, std::size_t chunks, GfElement log_m01,
                      GfElement log_m02, GfElement log_m23) const noexcept {
    const std::span<Chunk> c0(s0, chunks), c1(s1, chunks), c2(s2, chunks), c3(s3, chunks);
    fft_butterfly(c0, c2, log_m02);
    fft_butterfly(c1, c3, log_m02);
    fft_butterfly(c0, c1, log_m01);
    fft_butterfly(c2, c3, log_m23);
}

void Scalar::fft_four_from(const Chunk* f0, const Chunk* f1, const Chunk* f2, const Chunk* f3, Chunk* s0, Chunk* s1,
                           Chunk* s2, Chunk* s3, std::size_t chunks, GfElement log_m01, GfElement log_m02,
                           GfElement log_m23) const noexcept {
    std::copy(f0, f0 + chunks, s0);
    std::copy(f1, f1 + chunks, s1);
    std::copy(f2, f2 + chunks, s2);
    std::copy(f3, f3 + chunks, s3);
    fft_four(s0, s1, s2, s3, chunks, log_m01, log_m02, log_m23);
}

void Scalar::ifft_four(Chunk* s0, Chunk* s1, Chunk* s2, Chunk* s3, std::size_t chunks, GfElement log_m01,
                       GfElement log_m02, GfElement log_m23) const noexcept {
    const std::span<Chunk> c0(s0, chunks), c1(s1, chunks), c2(s2, chunks), c3(s3, chunks);
    ifft_butterfly(c0, c1, log_m01);
    ifft_butterfly(c2, c3, log_m23);
    ifft_butterfly(c0, c2, log_m02);
    ifft_butterfly(c1, c3, log_m02);
}

void Scalar::ifft_four_leading(std::size_t leading, Chunk* s0, Chunk* s1, Chunk* s2, Chunk* s3, std::size_t chunks,
                               GfElement log_m01, GfElement log_m02) const noexcept {
    Chunk* const runs[] = {s0, s1, s2, s3};
    for (std::size_t r = leading; r < 4; ++r) std::fill(runs[r], runs[r] + chunks, Chunk{});
    ifft_four(s0, s1, s2, s3, chunks, log_m01, log_m02, SKIP_PRODUCT);
}

void Scalar::fft(const ShardsRefMut& data, std::size_t pos, std::size_t size, std::size_t truncated_size,
                 std::size_t skew_delta, std::optional<std::size_t> copy_of) const {
    fft_passes(*this, skew_, data, pos, size, truncated_size, skew_delta, copy_of);
}

void Scalar::ifft(const ShardsRefMut& data, std::size_t pos, std::size_t size, std::size_t truncated_size,
                  std::size_t skew_delta, KnownShards zeros) const {
    ifft_passes(*this, skew_, data, pos, size, truncated_size, skew_delta, zeros);
}

void Scalar::mul(std::span<Chunk> x, GfElement log_m) const noexcept {
    for (Chunk& chunk : x) {
        for (std::size_t j = 0; j < 32; ++j) store(chunk, j, engine::mul(load(chunk, j), log_m, exp_log_));
    }
}

void Scalar::eval_poly(std::span<GfElement, GF_ORDER> erasures, std::size_t truncated_size) {
    const LogTable& log_walsh = get_log_walsh();
    fwht(erasures, truncated_size);
    for (std::size_t i = 0; i < GF_ORDER; ++i) {
        const std::uint32_t product = std::uint32_t{erasures[i]} * log_walsh[i];
        erasures[i] = add_mod(static_cast<GfElement>(product & 0xFFFF), static_cast<GfElement>(product >> 16));
    }
    fwht(erasures, GF_ORDER);
}

}  // namespace ondrel::engine
