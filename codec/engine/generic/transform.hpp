// The pass structure of the additive FFT and its inverse, written once for
// every kernel set.
//
// A kernel set supplies `Kernel` with
//   void fft_butterfly(std::span<Chunk> x, std::span<Chunk> y, GfElement log_m) const;
//   void ifft_butterfly(std::span<Chunk> x, std::span<Chunk> y, GfElement log_m) const;
// over a shard pair, and with the two layers of one pass over four runs
//   void fft_four(Chunk* s0, Chunk* s1, Chunk* s2, Chunk* s3, std::size_t chunks,
//                 GfElement log_m01, GfElement log_m02, GfElement log_m23) const;
//   void ifft_four(...same...) const;
// which at every element position of the four disjoint runs of `chunks` chunks
// apply the butterflies (s0,s2,m02), (s1,s3,m02), (s0,s1,m01), (s2,s3,m23)
// (fft) or (s0,s1,m01), (s2,s3,m23), (s0,s2,m02), (s1,s3,m02) (ifft) in this
// order. Every hook handles log_m == SKIP_PRODUCT (product left out) itself.
//
// The offsets i of one group address consecutive shards: s0 = pos + i for
// i = r..r+dist-1 is one contiguous run of dist shards, and so are s1, s2 and
// s3. Element positions are independent, so one hook call covers the whole
// group, offset after offset, with the same operations per element.
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
    // The block lies inside the view (checked above), and every shard that a
    // pass addresses lies inside the block, so base pointers need no check.
    const std::size_t len = data.shard_len_64();
    Chunk* const block = data.data().data() + pos * len;
    std::size_t dist4 = size;
    std::size_t dist = size / 4;
    while (dist >= 1) {
        const std::size_t run = dist * len;
        for (std::size_t r = 0; r < truncated_size; r += dist4) {
            const std::size_t base = r + dist + skew_delta - 1;
            const GfElement log_m01 = skew_at(skew, base);
            const GfElement log_m02 = skew_at(skew, base + dist);
            const GfElement log_m23 = skew_at(skew, base + 2 * dist);
            Chunk* const s0 = block + r * len;
            kernel.fft_four(s0, s0 + run, s0 + 2 * run, s0 + 3 * run, run, log_m01, log_m02, log_m23);
        }
        dist4 = dist;
        dist /= 4;
    }
    if (dist4 == 2) {
        for (std::size_t r = 0; r < truncated_size; r += 2) {
            const GfElement log_m = skew_at(skew, r + skew_delta);
            Chunk* const x = block + r * len;
            kernel.fft_butterfly(std::span<Chunk>(x, len), std::span<Chunk>(x + len, len), log_m);
        }
    }
}

// Inverse transform: two-layer passes from the narrowest distance up, then one
// untruncated single layer when log2(size) is odd.
template <class Kernel>
void ifft_passes(const Kernel& kernel, const SkewTable& skew, const ShardsRefMut& data, std::size_t pos,
                 std::size_t size, std::size_t truncated_size, std::size_t skew_delta) {
    check_transform_args(data, pos, size, truncated_size);
    // As in fft_passes: every shard addressed lies inside the checked block.
    const std::size_t len = data.shard_len_64();
    Chunk* const block = data.data().data() + pos * len;
    std::size_t dist = 1;
    std::size_t dist4 = 4;
    while (dist4 <= size) {
        const std::size_t run = dist * len;
        for (std::size_t r = 0; r < truncated_size; r += dist4) {
            const std::size_t base = r + dist + skew_delta - 1;
            const GfElement log_m01 = skew_at(skew, base);
            const GfElement log_m02 = skew_at(skew, base + dist);
            const GfElement log_m23 = skew_at(skew, base + 2 * dist);
            Chunk* const s0 = block + r * len;
            kernel.ifft_four(s0, s0 + run, s0 + 2 * run, s0 + 3 * run, run, log_m01, log_m02, log_m23);
        }
        dist = dist4;
        dist4 *= 4;
    }
    if (dist < size) {
        // Pairs (pos + i, pos + dist + i) for i < dist: two contiguous runs of
        // dist shards with one logarithm, so one butterfly sweep (a plain XOR
        // sweep in the kernel's registers when the product is skipped).
        const GfElement log_m = skew_at(skew, dist + skew_delta - 1);
        const std::size_t run = dist * len;
        kernel.ifft_butterfly(std::span<Chunk>(block, run), std::span<Chunk>(block + run, run), log_m);
    }
}
