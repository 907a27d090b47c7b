// The pass structure of the additive FFT and its inverse, written once for
// every kernel set.
//
// A kernel set supplies `Kernel` with two butterflies over a shard pair,
//   void fft_butterfly(std::span<Chunk> x, std::span<Chunk> y, GfElement log_m) const;
//   void ifft_butterfly(std::span<Chunk> x, std::span<Chunk> y, GfElement log_m) const;
// each handling log_m == SKIP_PRODUCT (product left out) itself.
//
// Kernel units compiled for a wider instruction set include this file inside
// their own namespace and target region, so every instantiation is compiled
// for the instruction set of its kernel and none leaks into baseline code.
// Hence no include guard and no includes: the includer provides engine.hpp.

// Forward transform: two-layer passes from the widest distance down, then one
// single layer when log2(size) is odd.
template <class Kernel>
void fft_passes(const Kernel& kernel, const SkewTable& skew, const ShardsRefMut& data, std::size_t pos,
                std::size_t size, std::size_t truncated_size, std::size_t skew_delta) {
    check_transform_args(data, pos, size, truncated_size);
    std::size_t dist4 = size;
    std::size_t dist = size / 4;
    while (dist >= 1) {
        for (std::size_t r = 0; r < truncated_size; r += dist4) {
            const std::size_t base = r + dist + skew_delta - 1;
            const GfElement log_m01 = skew_at(skew, base);
            const GfElement log_m02 = skew_at(skew, base + dist);
            const GfElement log_m23 = skew_at(skew, base + 2 * dist);
            for (std::size_t i = r; i < r + dist; ++i) {
                const std::size_t s0 = pos + i;
                const auto c0 = data.shard(s0);
                const auto c1 = data.shard(s0 + dist);
                const auto c2 = data.shard(s0 + 2 * dist);
                const auto c3 = data.shard(s0 + 3 * dist);
                kernel.fft_butterfly(c0, c2, log_m02);
                kernel.fft_butterfly(c1, c3, log_m02);
                kernel.fft_butterfly(c0, c1, log_m01);
                kernel.fft_butterfly(c2, c3, log_m23);
            }
        }
        dist4 = dist;
        dist /= 4;
    }
    if (dist4 == 2) {
        for (std::size_t r = 0; r < truncated_size; r += 2) {
            const GfElement log_m = skew_at(skew, r + skew_delta);
            kernel.fft_butterfly(data.shard(pos + r), data.shard(pos + r + 1), log_m);
        }
    }
}

// Inverse transform: two-layer passes from the narrowest distance up, then one
// untruncated single layer when log2(size) is odd.
template <class Kernel>
void ifft_passes(const Kernel& kernel, const SkewTable& skew, const ShardsRefMut& data, std::size_t pos,
                 std::size_t size, std::size_t truncated_size, std::size_t skew_delta) {
    check_transform_args(data, pos, size, truncated_size);
    std::size_t dist = 1;
    std::size_t dist4 = 4;
    while (dist4 <= size) {
        for (std::size_t r = 0; r < truncated_size; r += dist4) {
            const std::size_t base = r + dist + skew_delta - 1;
            const GfElement log_m01 = skew_at(skew, base);
            const GfElement log_m02 = skew_at(skew, base + dist);
            const GfElement log_m23 = skew_at(skew, base + 2 * dist);
            for (std::size_t i = r; i < r + dist; ++i) {
                const std::size_t s0 = pos + i;
                const auto c0 = data.shard(s0);
                const auto c1 = data.shard(s0 + dist);
                const auto c2 = data.shard(s0 + 2 * dist);
                const auto c3 = data.shard(s0 + 3 * dist);
                kernel.ifft_butterfly(c0, c1, log_m01);
                kernel.ifft_butterfly(c2, c3, log_m23);
                kernel.ifft_butterfly(c0, c2, log_m02);
                kernel.ifft_butterfly(c1, c3, log_m02);
            }
        }
        dist = dist4;
        dist4 *= 4;
    }
    if (dist < size) {
        const GfElement log_m = skew_at(skew, dist + skew_delta - 1);
        if (log_m == SKIP_PRODUCT) {
            xor_range(data, pos + dist, pos, dist);
        } else {
            for (std::size_t i = 0; i < dist; ++i) {
                kernel.ifft_butterfly(data.shard(pos + i), data.shard(pos + dist + i), log_m);
            }
        }
    }
}
