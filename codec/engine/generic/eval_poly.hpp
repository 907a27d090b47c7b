// Erasure-locator evaluation of the vector kernel sets, written once over a
// register abstraction `V` of 16-bit lanes that each kernel unit supplies:
//
//   using Reg; static constexpr std::size_t BYTES;   one vector register
//   Reg load(const void*); void store(void*, Reg);   unaligned accesses
//   Reg bxor(Reg, Reg); Reg ones();                  all bits set
//   Reg add16(Reg, Reg), sub16(Reg, Reg);            wrapping
//   Reg adds_u16(Reg, Reg), subs_u16(Reg, Reg);      unsigned saturating
//   Reg max_u16(Reg, Reg), min_u16(Reg, Reg);        unsigned
//   Reg mullo16(Reg, Reg), mulhi_u16(Reg, Reg);      low / high 16 bits of
//                                                    the 32-bit products
//   Within every 128-bit lane (16-bit words w0..w7, 32-bit units u0..u3):
//   Reg shl32_16(Reg), shr32_16(Reg);    32-bit units shifted by 16 bits
//   Reg blend_odd16(Reg a, Reg b);       even words of a, odd words of b
//   Reg pick_even32(Reg a, Reg b);       a.u0 a.u2 b.u0 b.u2
//   Reg pick_odd32(Reg a, Reg b);        a.u1 a.u3 b.u1 b.u3
//   Reg evens_then_odds16(Reg);          w0 w2 w4 w6 w1 w3 w5 w7
//   Reg lo64(Reg a, Reg b), hi64(Reg a, Reg b);   unpack of 64-bit halves
//   void split_blocks(Reg r0, Reg r1, Reg& a, Reg& b);
//       r0, r1: 2 * BYTES / 32 consecutive blocks of 16 words. Afterwards
//       every 128-bit lane of a holds words 0..7 of one block and the same
//       lane of b words 8..15 of that block.
//   void join_blocks(Reg a, Reg b, Reg& r0, Reg& r1);   the inverse
//   Optional: void sum_diff16(Reg a, Reg b, Reg& s, Reg& d);   see below
//
// Residues stay in 16-bit lanes: with ~b = 65535 - b,
//   add_mod(a, b) = max(a + b wrapped, a -sat ~b): when a + b >= 65536 the
//       saturating difference is a + b - 65535, one above the wrapped sum;
//       otherwise it is 0. A sum of exactly 65535 stays 65535.
//   sub_mod(a, b) = min(a - b wrapped, a +sat ~b): when a < b the saturating
//       sum is a - b + 65535, one below the wrapped difference; otherwise it
//       saturates at 65535.
// Both are bit-exact with the scalar add_mod / sub_mod for all inputs.
//
// Passes run in pairs, in one load and store of the data: the passes of
// distance 1 and 4 form a 4 x 4 transform inside every aligned block of 16
// words, done with in-register shuffles; the pairs (16, 64), (256, 1024) and
// (4096, 16384) are 4 x 4 transforms across 16 registers at a stride. Within
// a group of the wider pass only the narrower pass's groups that begin below
// truncated_size are transformed, so each entry sees exactly the steps of
// the pass-by-pass order: the wider group reads nothing outside itself.
//
// Like transform.hpp this file has no include guard and no includes: kernel
// units include it inside their own namespace and target region after
// engine.hpp, so every instantiation is compiled for the unit's instruction set.

// s = add_mod(a, b), d = sub_mod(a, b), lane by lane. A unit may supply
// its own V::sum_diff16 with the same results (compares into masks).
template <class V>
inline void sum_diff16(typename V::Reg a, typename V::Reg b, typename V::Reg& s, typename V::Reg& d) {
    using Reg = typename V::Reg;
    if constexpr (requires { V::sum_diff16(a, b, s, d); }) {
        V::sum_diff16(a, b, s, d);
    } else {
        const Reg nb = V::bxor(b, V::ones());
        s = V::max_u16(V::add16(a, b), V::subs_u16(a, nb));
        d = V::min_u16(V::sub16(a, b), V::adds_u16(a, nb));
    }
}

// The four-point step on whole registers: lane k of a0..a3 are the four
// entries of one step.
template <class V>
inline void four_point16(typename V::Reg& a0, typename V::Reg& a1, typename V::Reg& a2, typename V::Reg& a3) {
    typename V::Reg s0, d0, s1, d1;
    sum_diff16<V>(a0, a1, s0, d0);
    sum_diff16<V>(a2, a3, s1, d1);
    sum_diff16<V>(s0, s1, a0, a2);
    sum_diff16<V>(d0, d1, a1, a3);
}

// The product with LOG_WALSH modulo 65535: p = high * 65536 + low, and
// 65536 = 1 modulo 65535, so the residue is add_mod(low, high) (the unused
// difference is dead code to the compiler).
template <class V>
inline typename V::Reg product_mod16(typename V::Reg a, typename V::Reg w) {
    typename V::Reg s, d;
    sum_diff16<V>(V::mullo16(a, w), V::mulhi_u16(a, w), s, d);
    return s;
}

// The four-point step at offset p alone.
inline void four_point_scalar(GfElement* p, std::size_t d) noexcept {
    const GfElement s0 = add_mod(p[0], p[d]), d0 = sub_mod(p[0], p[d]);
    const GfElement s1 = add_mod(p[2 * d], p[3 * d]), d1 = sub_mod(p[2 * d], p[3 * d]);
    p[0] = add_mod(s0, s1);
    p[d] = add_mod(d0, d1);
    p[2 * d] = sub_mod(s0, s1);
    p[3 * d] = sub_mod(d0, d1);
}

// The passes of distance 1 and 4 on the block of 16 words at p, of which the
// first `limit` (1..16) lie below truncated_size.
inline void block16_scalar(GfElement* p, std::size_t limit) noexcept {
    for (std::size_t i = 0; i < 16 && i < limit; i += 4) four_point_scalar(p + i, 1);
    for (std::size_t o = 0; o < 4; ++o) four_point_scalar(p + o, 4);
}

// The passes of distance 1 and 4 on the blocks of a register pair in block
// form (see split_blocks). A block is a 4 x 4 matrix M with rows of four
// consecutive words: a holds rows 0 and 1, b rows 2 and 3. The first pass
// transforms every row, the second every column. Word layout (per lane,
// m[r][c]) as the comments show; each sum_diff16 pairs lane for lane.
template <class V>
inline void block16_vector(typename V::Reg& a, typename V::Reg& b) {
    using Reg = typename V::Reg;
    Reg x, y, s, d;
    // x = m00 m20 m02 m22 m10 m30 m12 m32, y: columns 1 and 3 likewise.
    x = V::blend_odd16(a, V::shl32_16(b));
    y = V::blend_odd16(V::shr32_16(a), b);
    // Rows, first layer: s = c0+c1 / c2+c3 of rows 0 2 | 0 2 | 1 3 | 1 3.
    sum_diff16<V>(x, y, s, d);
    // Second layer, x = (c0+c1) and (c0-c1) of rows 0 2 1 3; y their partners.
    x = V::pick_even32(s, d);
    y = V::pick_odd32(s, d);
    sum_diff16<V>(x, y, s, d);
    // s = new columns 0 and 1, d = new columns 2 and 3, rows in order 0 2 1 3:
    // columns, first layer pairs rows (0, 1) and (2, 3).
    x = V::pick_even32(s, d);
    y = V::pick_odd32(s, d);
    sum_diff16<V>(x, y, s, d);
    // s = r0+r1, r2+r3 alternating per column 0..3; d likewise.
    s = V::evens_then_odds16(s);
    d = V::evens_then_odds16(d);
    x = V::lo64(s, d);
    y = V::hi64(s, d);
    sum_diff16<V>(x, y, a, b);
}

// Passes 1 and 4 over the blocks that begin below truncated_size.
template <class V>
inline void passes_1_4(GfElement* data, std::size_t truncated_size) {
    constexpr std::size_t STEP = V::BYTES;  // words per register pair
    std::size_t i = 0;
    for (; i + STEP <= truncated_size; i += STEP) {
        typename V::Reg a, b;
        V::split_blocks(V::load(data + i), V::load(data + i + STEP / 2), a, b);
        block16_vector<V>(a, b);
        typename V::Reg r0, r1;
        V::join_blocks(a, b, r0, r1);
        V::store(data + i, r0);
        V::store(data + i + STEP / 2, r1);
    }
    for (; i < truncated_size; i += 16) block16_scalar(data + i, truncated_size - i);
}

// Passes d and 4d on the group of 16d words at g, for the offsets of the
// registers: sub-groups i < ACTIVE of the narrower pass, then the whole group.
// With PRODUCT the results are multiplied by `walsh` before they are stored
// (the last pair of the first transform covers every entry).
template <class V, std::size_t D, unsigned ACTIVE, bool PRODUCT>
[[gnu::noinline]] void group_pair(GfElement* g, const GfElement* walsh) {
    using Reg = typename V::Reg;
    constexpr std::size_t WORDS = V::BYTES / 2;
    constexpr std::size_t d = D;
    // At wide strides the sixteen rows share few cache sets: whole cache
    // lines are loaded at once, or each line would be evicted before the
    // registers of its next offsets read it again.
    constexpr std::size_t U = D >= 1024 && V::BYTES < 64 ? 64 / V::BYTES : 1;
    for (std::size_t o = 0; o < d; o += U * WORDS) {
        Reg r[U][16];
        for (std::size_t k = 0; k < 16; ++k) {
            for (std::size_t u = 0; u < U; ++u) r[u][k] = V::load(g + o + u * WORDS + k * d);
        }
        for (std::size_t u = 0; u < U; ++u) {
            for (std::size_t i = 0; i < ACTIVE; ++i) {
                four_point16<V>(r[u][4 * i], r[u][4 * i + 1], r[u][4 * i + 2], r[u][4 * i + 3]);
            }
            for (std::size_t j = 0; j < 4; ++j) four_point16<V>(r[u][j], r[u][j + 4], r[u][j + 8], r[u][j + 12]);
        }
        for (std::size_t k = 0; k < 16; ++k) {
            for (std::size_t u = 0; u < U; ++u) {
                const std::size_t at = o + u * WORDS + k * d;
                if constexpr (PRODUCT) r[u][k] = product_mod16<V>(r[u][k], V::load(walsh + at));
                V::store(g + at, r[u][k]);
            }
        }
    }
}

// Passes D and 4D over the groups that begin below truncated_size.
template <class V, std::size_t D, bool PRODUCT = false>
inline void pass_pair(GfElement* data, std::size_t truncated_size, const GfElement* walsh = nullptr) {
    static_assert(V::BYTES / 2 <= D && D % (V::BYTES / 2) == 0);
    constexpr std::size_t d = D;
    for (std::size_t g = 0; g < truncated_size; g += 16 * d) {
        const std::size_t active = std::min<std::size_t>(4, (truncated_size - g + 4 * d - 1) / (4 * d));
        switch (active) {
            case 1: group_pair<V, D, 1, PRODUCT>(data + g, walsh); break;
            case 2: group_pair<V, D, 2, PRODUCT>(data + g, walsh); break;
            case 3: group_pair<V, D, 3, PRODUCT>(data + g, walsh); break;
            default: group_pair<V, D, 4, PRODUCT>(data + g, walsh); break;
        }
    }
}

// fwht(data, truncated_size) for truncated_size <= 65536. `V` does the
// blocks of 16 and the wide strides; `Narrow` (at most 16 words) the stride
// of 16. With `walsh` the product with it follows, fused into the last pair
// when that pair runs.
template <class V, class Narrow>
void fwht_pairs(GfElement* data, std::size_t truncated_size, const GfElement* walsh) {
    passes_1_4<V>(data, truncated_size);
    pass_pair<Narrow, 16>(data, truncated_size);
    pass_pair<V, 256>(data, truncated_size);
    if (walsh != nullptr && truncated_size != 0) {
        pass_pair<V, 4096, true>(data, truncated_size, walsh);
        return;
    }
    pass_pair<V, 4096>(data, truncated_size);
    if (walsh == nullptr) return;
    for (std::size_t i = 0; i < GF_ORDER; i += V::BYTES / 2) {
        V::store(data + i, product_mod16<V>(V::load(data + i), V::load(walsh + i)));
    }
}

// Erasure-locator evaluation: fwht(truncated_size), the product with
// LOG_WALSH modulo 65535, fwht(65536). `Narrow` as for fwht_pairs (V itself
// when V has at most 16 words).
template <class V, class Narrow = V>
void eval_poly_vector(std::span<GfElement, GF_ORDER> erasures, std::size_t truncated_size) {
    static_assert(GF_ORDER % (V::BYTES / 2) == 0 && V::BYTES >= 16);
    const LogTable& log_walsh = get_log_walsh();
    GfElement* e = erasures.data();
    if (truncated_size <= GF_ORDER) {
        fwht_pairs<V, Narrow>(e, truncated_size, log_walsh.data());
    } else {
        // Groups beyond 65536 wrap around and transform their entries again,
        // which the pairing would reorder; such sizes take the scalar passes.
        fwht(erasures, truncated_size);
        fwht_pairs<V, Narrow>(e, 0, log_walsh.data());
    }
    fwht_pairs<V, Narrow>(e, GF_ORDER, nullptr);
}
