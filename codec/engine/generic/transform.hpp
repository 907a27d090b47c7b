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
// order. Two variants cover known inputs:
//   void fft_four_from(const Chunk* f0, ..., const Chunk* f3, Chunk* s0, ..., Chunk* s3,
//                      std::size_t chunks, GfElement log_m01, GfElement log_m02, GfElement log_m23) const;
// is fft_four over copies of four other runs f0..f3 (disjoint from s0..s3),
// written to s0..s3 without reading them, and
//   void ifft_four_leading(std::size_t leading, Chunk* s0, ..., Chunk* s3, std::size_t chunks,
//                          GfElement log_m01, GfElement log_m02) const;
// is ifft_four with the runs from s<leading> on (leading 1 or 2) read as zero
// whatever they hold. Every hook handles log_m == SKIP_PRODUCT (product left
// out) itself.
//
// A kernel set may also supply three layers over eight runs (EightRunKernel):
//   void fft_eight(const EightRuns& u, std::size_t chunks, const ThreeLayerLogs& logs) const;
//   void ifft_eight(const EightRuns& u, std::size_t chunks, const ThreeLayerLogs& logs,
//                   std::size_t loaded, std::size_t stored) const;
// fft_eight applies at every element position of the eight disjoint runs
// (u_i, u_{i+4}, a) for i < 4, then (u0,u2,b[0]), (u1,u3,b[0]), (u4,u6,b[1]),
// (u5,u7,b[1]), then (u_{2j}, u_{2j+1}, c[j]) for j < 4; ifft_eight applies
// the inverse butterflies of the same pairs, layer c first and layer a last,
// with the runs from u<loaded> on (loaded 4, 5, 6 or 8) read as zero
// whatever they hold, and only the first `stored` runs (6 or 8) written.
// The passes below use it for the last fft pass and the last ifft pass of an
// odd log2(size), which are three layers each, so the single layer costs no
// sweep over memory of its own.
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

// The three logarithms of the group at r in a pass of distance dist.
struct GroupLogs {
    GfElement m01, m02, m23;
};

inline GroupLogs group_logs(const SkewTable& skew, std::size_t r, std::size_t dist, std::size_t skew_delta) {
    const std::size_t base = r + dist + skew_delta - 1;
    return {skew_at(skew, base), skew_at(skew, base + dist), skew_at(skew, base + 2 * dist)};
}

// The eight runs of fft_eight / ifft_eight and their logarithms by layer.
struct EightRuns {
    Chunk* u[8];
};
struct ThreeLayerLogs {
    GfElement a;
    GfElement b[2];
    GfElement c[4];
};

template <class Kernel>
concept EightRunKernel = requires(const Kernel& kernel, const EightRuns& u, const ThreeLayerLogs& logs) {
    kernel.fft_eight(u, std::size_t{}, logs);
    kernel.ifft_eight(u, std::size_t{}, logs, std::size_t{}, std::size_t{});
};

// One truncated pass of distance dist: `four(r, logs)` for every group r
// from `first` (a multiple of dist4) below truncated_size, in increasing order.
// A kernel with `prefetch_logs(logs)` is told each group's logarithms one
// group ahead: their table entries, spread over megabytes, then arrive while
// the group before is swept (with short runs the lookups cost as much as
// the sweep).
template <class Kernel, class Four>
void for_each_group(const Kernel& kernel, const SkewTable& skew, std::size_t first, std::size_t truncated_size,
                    std::size_t dist, std::size_t dist4, std::size_t skew_delta, Four&& four) {
    if (first >= truncated_size) return;
    GroupLogs logs = group_logs(skew, first, dist, skew_delta);
    for (std::size_t r = first; r < truncated_size; r += dist4) {
        const GroupLogs now = logs;
        if (r + dist4 < truncated_size) {
            logs = group_logs(skew, r + dist4, dist, skew_delta);
            if constexpr (requires { kernel.prefetch_logs(logs); }) kernel.prefetch_logs(logs);
        }
        four(r, now);
    }
}

// Logarithms of the fused last fft pass for the group of eight at r: the
// pass's three, then those of the single layer's pairs (r + 2j, r + 2j + 1)
// that start below truncated_size (`pairs` of them, 1..4).
struct EightLogs {
    GroupLogs pass;
    GfElement pair[4];
    std::size_t pairs;
};

inline EightLogs eight_logs(const SkewTable& skew, std::size_t r, std::size_t truncated_size,
                            std::size_t skew_delta) {
    EightLogs logs{group_logs(skew, r, 2, skew_delta), {}, 0};
    for (std::size_t p = r; p < r + 8 && p < truncated_size; p += 2) {
        logs.pair[logs.pairs++] = skew_at(skew, p + skew_delta);
    }
    return logs;
}

// Forward transform: two-layer passes from the widest distance down, then one
// single layer when log2(size) is odd.
//
// With copy_of, the first pass reads the source block instead of the block:
// it has one group, the whole block, so every shard is written before any
// later pass reads it. Sizes below four have no two-layer pass, and a
// transform truncated to nothing runs none; their copy is made first. Either
// way the block ends as a copy transformed in place would.
template <class Kernel>
void fft_passes(const Kernel& kernel, const SkewTable& skew, const ShardsRefMut& data, std::size_t pos,
                std::size_t size, std::size_t truncated_size, std::size_t skew_delta,
                std::optional<std::size_t> copy_of) {
    check_transform_args(data, pos, size, truncated_size);
    if (copy_of) check_copy_source(data, pos, size, *copy_of);
    // The block lies inside the view (checked above), and every shard that a
    // pass addresses lies inside the block, so base pointers need no check.
    const std::size_t len = data.shard_len_64();
    Chunk* const block = data.data().data() + pos * len;
    const Chunk* from = copy_of ? data.data().data() + *copy_of * len : nullptr;
    if (from != nullptr && (size < 4 || truncated_size == 0)) {
        std::copy(from, from + size * len, block);
        from = nullptr;
    }
    // One group's pass, from the source on the first pass.
    const auto four = [&](Chunk* s0, std::size_t r, std::size_t run, const GroupLogs& g) {
        if (from != nullptr) {
            const Chunk* const f0 = from + r * len;
            kernel.fft_four_from(f0, f0 + run, f0 + 2 * run, f0 + 3 * run, s0, s0 + run, s0 + 2 * run, s0 + 3 * run,
                                 run, g.m01, g.m02, g.m23);
        } else {
            kernel.fft_four(s0, s0 + run, s0 + 2 * run, s0 + 3 * run, run, g.m01, g.m02, g.m23);
        }
    };
    std::size_t dist4 = size;
    std::size_t dist = size / 4;
    while (dist >= 1) {
        const std::size_t run = dist * len;
        if (dist == 2) {
            // Last pass before the single layer (log2(size) odd, size >= 8):
            // group r covers shards r..r+7, and the single layer's pairs
            // (r, r+1), (r+2, r+3), (r+4, r+5), (r+6, r+7) lie inside it and
            // read nothing else. So each group's pairs follow its pass at
            // once, while its shards are still in cache; every shard sees
            // the same butterflies in the same order as with a separate
            // sweep. A pair runs iff its first index is below truncated_size,
            // as in the single layer.
            for (std::size_t r = 0; r < truncated_size; r += 8) {
                const EightLogs logs = eight_logs(skew, r, truncated_size, skew_delta);
                Chunk* const s0 = block + r * len;
                if constexpr (EightRunKernel<Kernel>) {
                    // Shard r + i is run u_i: the pass's butterflies are the
                    // layers a (m02) and b (m01, m23), the pairs layer c.
                    if (from == nullptr && logs.pairs == 4) {
                        const EightRuns u{{s0, s0 + len, s0 + 2 * len, s0 + 3 * len, s0 + 4 * len, s0 + 5 * len,
                                           s0 + 6 * len, s0 + 7 * len}};
                        const ThreeLayerLogs three{logs.pass.m02,
                                                   {logs.pass.m01, logs.pass.m23},
                                                   {logs.pair[0], logs.pair[1], logs.pair[2], logs.pair[3]}};
                        kernel.fft_eight(u, len, three);
                        continue;
                    }
                }
                four(s0, r, run, logs.pass);
                for (std::size_t j = 0; j < logs.pairs; ++j) {
                    Chunk* const x = s0 + 2 * j * len;
                    kernel.fft_butterfly(std::span<Chunk>(x, len), std::span<Chunk>(x + len, len), logs.pair[j]);
                }
            }
            return;
        }
        for_each_group(kernel, skew, 0, truncated_size, dist, dist4, skew_delta,
                       [&](std::size_t r, const GroupLogs& g) { four(block + r * len, r, run, g); });
        from = nullptr;
        dist4 = dist;
        dist /= 4;
    }
    if (dist4 == 2) {
        // size == 2, the single layer alone (larger odd sizes return above).
        for (std::size_t r = 0; r < truncated_size; r += 2) {
            const GfElement log_m = skew_at(skew, r + skew_delta);
            Chunk* const x = block + r * len;
            kernel.fft_butterfly(std::span<Chunk>(x, len), std::span<Chunk>(x + len, len), log_m);
        }
    }
}

// Known zeros at the end of an inverse transform's block (zeros.tail): the
// shards from truncated_size on count as zero whatever they hold. The passes
// before the last never write at or past truncated_size rounded up to their
// widest group, so clearing the tail once, before the passes, is enough; and
// when log2(size) is odd and group h = size/2 of the last pass starts below
// truncated_size but its second (third) run does not, that group has one
// (two) non-zero runs: kernel.ifft_four_leading computes it from those runs
// alone, so only the shards up to its first zero run need clearing. When
// group h starts at or past truncated_size it is all zero and is not cleared
// at all: ifft_last_pass reads it as zero.
struct ZeroTail {
    std::size_t leading;   // non-zero runs of group h in the last pass (0..2); 4: all, computed as usual
    std::size_t clear_to;  // shards truncated_size..clear_to-1 are to be cleared
};

inline ZeroTail plan_zero_tail(std::size_t size, std::size_t truncated_size, bool odd, KnownShards zeros) {
    if (!zeros.tail) return {4, truncated_size};
    const std::size_t h = size / 2;
    std::size_t leading = 4;
    if (odd && size >= 8) {
        if (truncated_size <= h) {
            leading = 0;
        } else if (truncated_size <= h + h / 4) {
            leading = 1;
        } else if (truncated_size <= h + h / 2) {
            leading = 2;
        }
    }
    return {leading, leading < 4 ? h + leading * (h / 4) : size};
}

// Chunks per run in one tile of the fused last ifft pass: eight runs of this
// size are 32 KiB, about a core's L1 data cache. Measured on (342, 681)
// blocks of 8 and 48 chunks per shard: 32 and 64 are level, 128 is slower.
inline constexpr std::size_t IFFT_TILE_CHUNKS = 64;

// The last two-layer pass of an odd log2(size) >= 8 (distance dist = size/8)
// fused with the single layer after it. The pass has the two groups r = 0 and
// r = h = size/2, and the single layer pairs shard i + j*dist of the first
// with shard h + i + j*dist of the second (j < 4, i < dist). So offsets
// i..i+t-1 of both groups plus the pairs they form are a closed set of 8t
// shards: they are finished tile by tile, each tile still in cache, and every
// shard sees the same butterflies in the same order as with a separate sweep.
// The pass stays truncated (group h runs iff h < truncated_size, group 0 iff
// truncated_size > 0, each unless zero_prefix says it is all zero); the
// single layer does not. With `leading` 0 group h is read as zero whatever
// it holds. Shards from `needed` on need not be written.
template <class Kernel>
void ifft_last_pass(const Kernel& kernel, const SkewTable& skew, Chunk* block, std::size_t len, std::size_t size,
                    std::size_t truncated_size, std::size_t skew_delta, std::size_t zero_prefix,
                    std::size_t leading, std::size_t needed) {
    const std::size_t h = size / 2;
    const std::size_t dist = size / 8;
    const std::size_t run = dist * len;
    const bool first = truncated_size > 0 && zero_prefix < h;
    const bool second = h < truncated_size && zero_prefix < size;
    const GroupLogs a = first ? group_logs(skew, 0, dist, skew_delta) : GroupLogs{};
    const GroupLogs b = second ? group_logs(skew, h, dist, skew_delta) : GroupLogs{};
    const GfElement log_m = skew_at(skew, h + skew_delta - 1);
    if constexpr (EightRunKernel<Kernel>) {
        // Runs u0..u3 of group 0 and u4..u7 of group h (of which `leading`
        // may be non-zero), every offset in one sweep.
        if (first && (second || leading == 0)) {
            Chunk* const t = block + h * len;
            const EightRuns u{{block, block + run, block + 2 * run, block + 3 * run, t, t + run, t + 2 * run,
                               t + 3 * run}};
            // The last quarter, runs u6 and u7, unwritten when not needed.
            const std::size_t stored = needed <= h + h / 2 ? 6 : 8;
            kernel.ifft_eight(u, run, {log_m, {a.m02, b.m02}, {a.m01, a.m23, b.m01, b.m23}}, 4 + leading, stored);
            return;
        }
    }
    // Offsets per tile: eight runs of about IFFT_TILE_CHUNKS chunks.
    const std::size_t tile = std::min(dist, std::max<std::size_t>(1, IFFT_TILE_CHUNKS / len));
    for (std::size_t i = 0; i < dist; i += tile) {
        const std::size_t n = std::min(tile, dist - i) * len;
        Chunk* const s = block + i * len;
        Chunk* const t = s + h * len;
        if (first) kernel.ifft_four(s, s + run, s + 2 * run, s + 3 * run, n, a.m01, a.m02, a.m23);
        if (leading == 0) {
            for (std::size_t j = 0; j < 4; ++j) std::fill(t + j * run, t + j * run + n, Chunk{});
        } else if (leading < 4) {
            kernel.ifft_four_leading(leading, t, t + run, t + 2 * run, t + 3 * run, n, b.m01, b.m02);
        } else if (second) {
            kernel.ifft_four(t, t + run, t + 2 * run, t + 3 * run, n, b.m01, b.m02, b.m23);
        }
        for (std::size_t j = 0; j < 4; ++j) {
            kernel.ifft_butterfly(std::span<Chunk>(s + j * run, n), std::span<Chunk>(t + j * run, n), log_m);
        }
    }
}

// Inverse transform: two-layer passes from the narrowest distance up, then one
// untruncated single layer when log2(size) is odd (fused with the last pass
// for sizes >= 8, ifft_last_pass).
//
// Known zeros: shards below zeros.prefix are zero on entry; a group of a pass
// lying wholly below it read only zeros in every earlier pass (whose groups
// are smaller and aligned), so it is still zero, and its butterflies, which
// map zeros to zeros, are skipped. The tail: plan_zero_tail.
template <class Kernel>
void ifft_passes(const Kernel& kernel, const SkewTable& skew, const ShardsRefMut& data, std::size_t pos,
                 std::size_t size, std::size_t truncated_size, std::size_t skew_delta, KnownShards zeros) {
    check_transform_args(data, pos, size, truncated_size, zeros);
    // As in fft_passes: every shard addressed lies inside the checked block.
    const std::size_t len = data.shard_len_64();
    Chunk* const block = data.data().data() + pos * len;
    std::size_t last_dist4 = 4;
    while (last_dist4 * 4 <= size) last_dist4 *= 4;
    const ZeroTail tail = plan_zero_tail(size, truncated_size, 2 * last_dist4 == size, zeros);
    std::fill(block + truncated_size * len, block + tail.clear_to * len, Chunk{});
    std::size_t dist = 1;
    std::size_t dist4 = 4;
    while (dist4 <= size) {
        if (2 * dist4 == size) {
            ifft_last_pass(kernel, skew, block, len, size, truncated_size, skew_delta, zeros.prefix, tail.leading,
                           zeros.needed);
            return;
        }
        const std::size_t run = dist * len;
        const std::size_t first = zeros.prefix / dist4 * dist4;
        const auto four = [&](std::size_t r, const GroupLogs& g) {
            Chunk* const s0 = block + r * len;
            kernel.ifft_four(s0, s0 + run, s0 + 2 * run, s0 + 3 * run, run, g.m01, g.m02, g.m23);
        };
        for_each_group(kernel, skew, first, truncated_size, dist, dist4, skew_delta, four);
        dist = dist4;
        dist4 *= 4;
    }
    if (dist < size) {
        // size == 2, the single layer alone (larger odd sizes return above).
        // Pairs (pos + i, pos + dist + i) for i < dist: two contiguous runs of
        // dist shards with one logarithm, so one butterfly sweep (a plain XOR
        // sweep in the kernel's registers when the product is skipped).
        const GfElement log_m = skew_at(skew, dist + skew_delta - 1);
        const std::size_t run = dist * len;
        kernel.ifft_butterfly(std::span<Chunk>(block, run), std::span<Chunk>(block + run, run), log_m);
    }
}
