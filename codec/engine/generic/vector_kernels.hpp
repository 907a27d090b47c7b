// Butterflies and mul of the vector kernel sets, written once over a small
// vector abstraction `V` that each kernel unit supplies for its instruction
// set:
//
//   using Reg;                              one vector register
//   static constexpr std::size_t BYTES;     bytes per register (16, 32 or 64)
//   Reg load(const void*); void store(void*, Reg);   unaligned accesses
//   Reg bxor(Reg, Reg); Reg band(Reg, Reg);
//   Reg nibble_mask();                      byte 0x0F in every lane
//   Reg shr4(Reg);                          right shift by 4 within 64-bit lanes
//   Reg shuffle(Reg table, Reg index);      byte lookup within each 128-bit lane
//   class Rows;                             access to the eight rows of one
//       MUL128 entry, shaped for `shuffle`:
//       explicit Rows(const Mul128Entry&); Reg lo(int r) const; Reg hi(int r) const;
//
// The erasure-locator evaluation (eval_poly.hpp) uses other members of the
// same structs. For the nibble method a register holds the low bytes (or high
// bytes) of BYTES elements, so a chunk (32 low bytes, then 32 high bytes) is
// 32 / BYTES register pairs. NibbleOps turns `V` into the block abstraction
// of VectorKernels; a kernel set with its own product (GF(2) affine
// instructions) supplies that abstraction directly.
//
// Like transform.hpp this file has no include guard and no includes: kernel
// units include it inside their own namespace and target region after
// engine.hpp, so every instantiation is compiled for the unit's instruction set.

template <class V>
struct ProductPair {
    typename V::Reg lo;
    typename V::Reg hi;
};

// The nibble method: each of the four nibbles of the elements selects a byte
// from the matching row; the product is linear over XOR, so the XOR of the
// four lookups is the product, low and high bytes separately. The 64-bit shift
// moves bits across byte borders, but the mask drops them.
template <class V>
inline ProductPair<V> vector_product(const typename V::Rows& rows, typename V::Reg lo, typename V::Reg hi) {
    using Reg = typename V::Reg;
    const Reg mask = V::nibble_mask();
    const Reg n0 = V::band(lo, mask);
    const Reg n1 = V::band(V::shr4(lo), mask);
    const Reg n2 = V::band(hi, mask);
    const Reg n3 = V::band(V::shr4(hi), mask);
    const Reg p_lo = V::bxor(V::bxor(V::shuffle(rows.lo(0), n0), V::shuffle(rows.lo(1), n1)),
                             V::bxor(V::shuffle(rows.lo(2), n2), V::shuffle(rows.lo(3), n3)));
    const Reg p_hi = V::bxor(V::bxor(V::shuffle(rows.hi(0), n0), V::shuffle(rows.hi(1), n1)),
                             V::bxor(V::shuffle(rows.hi(2), n2), V::shuffle(rows.hi(3), n3)));
    return {p_lo, p_hi};
}

// Makes the compiler materialise `r` here. XOR chains are otherwise
// reassociated into balanced trees whose leaves (every shuffle of a
// butterfly, or of two) are all live at once, which spills beside four
// register pairs of shard data.
template <class Reg>
inline void pin(Reg& r) {
    asm("" : "+x"(r));
}

// x <- x XOR product of y, with the product's terms folded into x as they
// are formed: no product registers, and only two nibble vectors live at a
// time. The butterflies hold four register pairs of shard data at once, so
// this is what keeps them from spilling.
template <class V>
inline void xor_nibble_product_into(const typename V::Rows& rows, typename V::Reg y_lo, typename V::Reg y_hi,
                                    typename V::Reg& x_lo, typename V::Reg& x_hi) {
    using Reg = typename V::Reg;
    const Reg mask = V::nibble_mask();
    const Reg n0 = V::band(y_lo, mask);
    const Reg n1 = V::band(V::shr4(y_lo), mask);
    x_lo = V::bxor(x_lo, V::bxor(V::shuffle(rows.lo(0), n0), V::shuffle(rows.lo(1), n1)));
    x_hi = V::bxor(x_hi, V::bxor(V::shuffle(rows.hi(0), n0), V::shuffle(rows.hi(1), n1)));
    pin(x_lo);
    pin(x_hi);
    const Reg n2 = V::band(y_hi, mask);
    const Reg n3 = V::band(V::shr4(y_hi), mask);
    x_lo = V::bxor(x_lo, V::bxor(V::shuffle(rows.lo(2), n2), V::shuffle(rows.lo(3), n3)));
    x_hi = V::bxor(x_hi, V::bxor(V::shuffle(rows.hi(2), n2), V::shuffle(rows.hi(3), n3)));
    pin(x_lo);
    pin(x_hi);
}

// The nibble method as a block abstraction for VectorKernels: a block is the
// register pair (low bytes, high bytes) of BYTES elements, and a chunk holds
// 32 / BYTES blocks; block k covers chunk bytes k*BYTES.. and 32 + k*BYTES...
template <class V>
struct NibbleOps {
    using Table = Mul128Table;
    struct Block {
        typename V::Reg lo;
        typename V::Reg hi;
    };
    static constexpr std::size_t BLOCKS = 32 / V::BYTES;

    // The eight MUL128 rows of one logarithm.
    class Multiplier : public V::Rows {
    public:
        Multiplier(const Mul128Table& table, GfElement log_m) noexcept : V::Rows(table[log_m]) {}
    };

    static Block load(const std::uint8_t* chunk, std::size_t k) {
        return {V::load(chunk + k * V::BYTES), V::load(chunk + 32 + k * V::BYTES)};
    }
    static void store(std::uint8_t* chunk, std::size_t k, Block b) {
        V::store(chunk + k * V::BYTES, b.lo);
        V::store(chunk + 32 + k * V::BYTES, b.hi);
    }
    static Block bxor(Block a, Block b) { return {V::bxor(a.lo, b.lo), V::bxor(a.hi, b.hi)}; }
    static Block product(const Multiplier& m, Block x) {
        const ProductPair<V> p = vector_product<V>(m, x.lo, x.hi);
        return {p.lo, p.hi};
    }
    static void xor_product_into(const Multiplier& m, Block y, Block& x) {
        xor_nibble_product_into<V>(m, y.lo, y.hi, x.lo, x.hi);
    }
};

// Block forms with the registers for eight blocks and their multipliers
// declare `static constexpr bool EIGHT_RUNS = true` and a default Multiplier
// that multiplies by zero; VectorKernels then offers the three-layer hooks.
template <class Ops>
concept EightRunOps = Ops::EIGHT_RUNS;

// Butterflies and mul over runs of chunks, written over a block abstraction
// `Ops` that each kernel set supplies:
//
//   using Table;                            the process-wide multiplier table
//   using Block;                            registers holding whole elements
//   static constexpr std::size_t BLOCKS;    blocks per 64-byte chunk
//   class Multiplier;                       the product by one constant, set up
//       from the table: Multiplier(const Table&, GfElement log_m)
//   Block load(const std::uint8_t* chunk, std::size_t k);   block k of a chunk,
//   void store(std::uint8_t* chunk, std::size_t k, Block);  unaligned
//   Block bxor(Block, Block);
//   Block product(const Multiplier&, Block);                element-wise product
//   void xor_product_into(const Multiplier&, Block y, Block& x);   x ^= y * m
template <class Ops>
class VectorKernels {
public:
    using Block = typename Ops::Block;
    using Multiplier = typename Ops::Multiplier;

    // `table` is the process-wide multiplier table and outlives the kernels.
    explicit VectorKernels(const typename Ops::Table& table) noexcept : table_(table) {}

    // x <- x + y*l, then y <- y + x, chunk by chunk; l = SKIP_PRODUCT leaves the
    // product out. x and y are shards of one view (equal length).
    void fft_butterfly(std::span<Chunk> x, std::span<Chunk> y, GfElement log_m) const noexcept {
        butterfly<false>(x, y, log_m);
    }

    // y <- y + x, then x <- x + y*l with the new y; the inverse of fft_butterfly.
    void ifft_butterfly(std::span<Chunk> x, std::span<Chunk> y, GfElement log_m) const noexcept {
        butterfly<true>(x, y, log_m);
    }

    // Both layers of one fft pass over four disjoint runs of `chunks` chunks:
    // per block, the butterflies (s0,s2,m02), (s1,s3,m02), (s0,s1,m01),
    // (s2,s3,m23) run in registers between one load and one store of the four
    // runs, instead of four sweeps over memory.
    void fft_four(Chunk* s0, Chunk* s1, Chunk* s2, Chunk* s3, std::size_t chunks, GfElement log_m01,
                  GfElement log_m02, GfElement log_m23) const noexcept {
        four<false>(s0, s1, s2, s3, s0, s1, s2, s3, chunks, log_m01, log_m02, log_m23);
    }

    // fft_four over copies of the runs f0..f3 (disjoint from s0..s3): loads
    // from them, stores to s0..s3.
    void fft_four_from(const Chunk* f0, const Chunk* f1, const Chunk* f2, const Chunk* f3, Chunk* s0, Chunk* s1,
                       Chunk* s2, Chunk* s3, std::size_t chunks, GfElement log_m01, GfElement log_m02,
                       GfElement log_m23) const noexcept {
        four<false>(f0, f1, f2, f3, s0, s1, s2, s3, chunks, log_m01, log_m02, log_m23);
    }

    // Both layers of one ifft pass: (s0,s1,m01), (s2,s3,m23), (s0,s2,m02),
    // (s1,s3,m02) per block, as fft_four.
    void ifft_four(Chunk* s0, Chunk* s1, Chunk* s2, Chunk* s3, std::size_t chunks, GfElement log_m01,
                   GfElement log_m02, GfElement log_m23) const noexcept {
        four<true>(s0, s1, s2, s3, s0, s1, s2, s3, chunks, log_m01, log_m02, log_m23);
    }

    // ifft_four when only the first `leading` runs (1 or 2) may be non-zero
    // and the others are to be read as zero whatever they hold: only those
    // are loaded, all four are stored. The (s2,s3) butterfly then maps zeros
    // to zeros whatever its logarithm, so it is left out.
    void ifft_four_leading(std::size_t leading, Chunk* s0, Chunk* s1, Chunk* s2, Chunk* s3, std::size_t chunks,
                           GfElement log_m01, GfElement log_m02) const noexcept {
        if (leading == 1) {
            leading_sweep<1>(s0, s1, s2, s3, chunks, log_m01, log_m02);
        } else {
            leading_sweep<2>(s0, s1, s2, s3, chunks, log_m01, log_m02);
        }
    }

    // Three layers over eight runs, per block in registers between one load
    // and one store of each run (see transform.hpp for the butterflies).
    void fft_eight(const EightRuns& u, std::size_t chunks, const ThreeLayerLogs& logs) const noexcept
        requires EightRunOps<Ops>
    {
        eight<false>(u, chunks, logs);
    }
    void ifft_eight(const EightRuns& u, std::size_t chunks, const ThreeLayerLogs& logs, std::size_t loaded,
                    std::size_t stored) const noexcept
        requires EightRunOps<Ops>
    {
        if (stored == 6) {
            ifft_eight_loaded<6>(u, chunks, logs, loaded);
        } else {
            ifft_eight_loaded<8>(u, chunks, logs, loaded);
        }
    }

    // Requests the table entries of a group's multipliers (see for_each_group).
    void prefetch_logs(const GroupLogs& g) const noexcept {
        __builtin_prefetch(&table_[g.m01]);
        __builtin_prefetch(&table_[g.m02]);
        __builtin_prefetch(&table_[g.m23]);
    }

    // Every element of x becomes its product with the element of logarithm
    // log_m (0 and 65535 both multiply by 1).
    void mul(std::span<Chunk> x, GfElement log_m) const noexcept {
        const Multiplier m(table_, log_m);
        auto* xb = reinterpret_cast<std::uint8_t*>(x.data());
        for (std::size_t c = 0; c < x.size(); ++c, xb += CHUNK_BYTES) {
            for (std::size_t k = 0; k < Ops::BLOCKS; ++k) Ops::store(xb, k, Ops::product(m, Ops::load(xb, k)));
        }
    }

private:
    // The butterfly of either direction over two runs. Without a product
    // both directions are y <- y + x.
    template <bool IFFT>
    void butterfly(std::span<Chunk> x, std::span<Chunk> y, GfElement log_m) const noexcept {
        const std::size_t n = std::min(x.size(), y.size());
        auto* xb = reinterpret_cast<std::uint8_t*>(x.data());
        auto* yb = reinterpret_cast<std::uint8_t*>(y.data());
        if (log_m == SKIP_PRODUCT) {
            xor_chunks(yb, xb, n);
            return;
        }
        const Multiplier m(table_, log_m);
        for (std::size_t c = 0; c < n; ++c, xb += CHUNK_BYTES, yb += CHUNK_BYTES) {
            for (std::size_t k = 0; k < Ops::BLOCKS; ++k) {
                Block xv = Ops::load(xb, k), yv = Ops::load(yb, k);
                if constexpr (IFFT) {
                    ifft_step<false>(m, xv, yv);
                } else {
                    fft_step<false>(m, xv, yv);
                }
                Ops::store(xb, k, xv);
                Ops::store(yb, k, yv);
            }
        }
    }

    // One fft butterfly in registers; SKIP leaves the product out.
    template <bool SKIP>
    static void fft_step(const Multiplier& m, Block& x, Block& y) {
        if constexpr (!SKIP) Ops::xor_product_into(m, y, x);
        y = Ops::bxor(y, x);
    }

    // One ifft butterfly in registers; SKIP leaves the product out.
    template <bool SKIP>
    static void ifft_step(const Multiplier& m, Block& x, Block& y) {
        y = Ops::bxor(y, x);
        if constexpr (!SKIP) Ops::xor_product_into(m, y, x);
    }

    // Picks the sweep compiled for the logarithms that skip their product, so
    // the loop itself carries no tests. The table is only read for the others
    // (entry 65535 exists, so building its Multiplier is harmless).
    // Multipliers are passed by value: a reference would be reloaded after
    // every store to shard data.
    template <bool IFFT>
    void four(const Chunk* f0, const Chunk* f1, const Chunk* f2, const Chunk* f3, Chunk* s0, Chunk* s1, Chunk* s2,
              Chunk* s3, std::size_t chunks, GfElement log_m01, GfElement log_m02, GfElement log_m23) const noexcept {
        const Multiplier r01(table_, log_m01), r02(table_, log_m02), r23(table_, log_m23);
        const auto* a0 = reinterpret_cast<const std::uint8_t*>(f0);
        const auto* a1 = reinterpret_cast<const std::uint8_t*>(f1);
        const auto* a2 = reinterpret_cast<const std::uint8_t*>(f2);
        const auto* a3 = reinterpret_cast<const std::uint8_t*>(f3);
        auto* b0 = reinterpret_cast<std::uint8_t*>(s0);
        auto* b1 = reinterpret_cast<std::uint8_t*>(s1);
        auto* b2 = reinterpret_cast<std::uint8_t*>(s2);
        auto* b3 = reinterpret_cast<std::uint8_t*>(s3);
        const unsigned skips = (log_m01 == SKIP_PRODUCT ? 1u : 0u) | (log_m02 == SKIP_PRODUCT ? 2u : 0u) |
                               (log_m23 == SKIP_PRODUCT ? 4u : 0u);
        switch (skips) {
            case 0: return sweep4<IFFT, false, false, false>(a0, a1, a2, a3, b0, b1, b2, b3, chunks, r01, r02, r23);
            case 1: return sweep4<IFFT, true, false, false>(a0, a1, a2, a3, b0, b1, b2, b3, chunks, r01, r02, r23);
            case 2: return sweep4<IFFT, false, true, false>(a0, a1, a2, a3, b0, b1, b2, b3, chunks, r01, r02, r23);
            case 3: return sweep4<IFFT, true, true, false>(a0, a1, a2, a3, b0, b1, b2, b3, chunks, r01, r02, r23);
            case 4: return sweep4<IFFT, false, false, true>(a0, a1, a2, a3, b0, b1, b2, b3, chunks, r01, r02, r23);
            case 5: return sweep4<IFFT, true, false, true>(a0, a1, a2, a3, b0, b1, b2, b3, chunks, r01, r02, r23);
            case 6: return sweep4<IFFT, false, true, true>(a0, a1, a2, a3, b0, b1, b2, b3, chunks, r01, r02, r23);
            default: return sweep4<IFFT, true, true, true>(a0, a1, a2, a3, b0, b1, b2, b3, chunks, r01, r02, r23);
        }
    }

    // ifft_four_leading with LOADED runs: the sweep compiled for the skipped
    // products among m01 and m02 (the (s2,s3) butterfly is left out).
    template <unsigned LOADED>
    void leading_sweep(Chunk* s0, Chunk* s1, Chunk* s2, Chunk* s3, std::size_t chunks, GfElement log_m01,
                       GfElement log_m02) const noexcept {
        const Multiplier r01(table_, log_m01), r02(table_, log_m02), none(table_, SKIP_PRODUCT);
        auto* b0 = reinterpret_cast<std::uint8_t*>(s0);
        auto* b1 = reinterpret_cast<std::uint8_t*>(s1);
        auto* b2 = reinterpret_cast<std::uint8_t*>(s2);
        auto* b3 = reinterpret_cast<std::uint8_t*>(s3);
        const unsigned skips = (log_m01 == SKIP_PRODUCT ? 1u : 0u) | (log_m02 == SKIP_PRODUCT ? 2u : 0u);
        switch (skips) {
            case 0:
                return sweep4<true, false, false, true, LOADED>(b0, b1, b2, b3, b0, b1, b2, b3, chunks, r01, r02, none);
            case 1:
                return sweep4<true, true, false, true, LOADED>(b0, b1, b2, b3, b0, b1, b2, b3, chunks, r01, r02, none);
            case 2:
                return sweep4<true, false, true, true, LOADED>(b0, b1, b2, b3, b0, b1, b2, b3, chunks, r01, r02, none);
            default:
                return sweep4<true, true, true, true, LOADED>(b0, b1, b2, b3, b0, b1, b2, b3, chunks, r01, r02, none);
        }
    }

    // Memory reads cannot move across this barrier; register values are not
    // affected. In the ifft order the compiler otherwise keeps the table rows
    // that the last two butterflies share, interleaves both products and
    // spills them beside the four register pairs of shard data; reloading the
    // rows from L1 per butterfly is cheaper. The fft order compiles without
    // spills and gains from the shared rows, so it has no barriers.
    static void rows_barrier() noexcept { asm volatile("" ::: "memory"); }

    // The loop of fft_four / ifft_four: loads from f0..f3 (the runs
    // themselves, or the runs a copy is made of), stores to b0..b3. S01, S02,
    // S23 tell whether that logarithm is SKIP_PRODUCT; only the first LOADED
    // runs are loaded, the others read as zero (and with fewer than four the
    // ifft's (s2,s3) butterfly, zeros to zeros, is left out). Kept out of line: eight
    // instantiations per direction would otherwise all be inlined into the
    // pass loop.
    template <bool IFFT, bool S01, bool S02, bool S23, unsigned LOADED = 4>
    [[gnu::noinline]] static void sweep4(const std::uint8_t* f0, const std::uint8_t* f1, const std::uint8_t* f2,
                                         const std::uint8_t* f3, std::uint8_t* b0, std::uint8_t* b1,
                                         std::uint8_t* b2, std::uint8_t* b3, std::size_t chunks, Multiplier r01,
                                         Multiplier r02, Multiplier r23) noexcept {
        const std::size_t end = chunks * CHUNK_BYTES;
        for (std::size_t c = 0; c < end; c += CHUNK_BYTES) {
            for (std::size_t k = 0; k < Ops::BLOCKS; ++k) {
                Block a0 = Ops::load(f0 + c, k);
                const Block zero = Ops::bxor(a0, a0);
                Block a1 = LOADED >= 2 ? Ops::load(f1 + c, k) : zero;
                Block a2 = LOADED == 4 ? Ops::load(f2 + c, k) : zero;
                Block a3 = LOADED == 4 ? Ops::load(f3 + c, k) : zero;
                if constexpr (IFFT) {
                    ifft_step<S01>(r01, a0, a1);
                    rows_barrier();
                    if constexpr (LOADED == 4) {
                        ifft_step<S23>(r23, a2, a3);
                        rows_barrier();
                    }
                    ifft_step<S02>(r02, a0, a2);
                    rows_barrier();
                    ifft_step<S02>(r02, a1, a3);
                } else {
                    fft_step<S02>(r02, a0, a2);
                    fft_step<S02>(r02, a1, a3);
                    fft_step<S01>(r01, a0, a1);
                    fft_step<S23>(r23, a2, a3);
                }
                Ops::store(b0 + c, k, a0);
                Ops::store(b1 + c, k, a1);
                Ops::store(b2 + c, k, a2);
                Ops::store(b3 + c, k, a3);
            }
        }
    }

    // A product by zero leaves x as leaving the product out does, so
    // SKIP_PRODUCT becomes the zero multiplier and one sweep serves every
    // combination of skipped products (they are rare: skew entries at
    // indices one below a power of two).
    Multiplier zero_if_skipped(GfElement log_m) const noexcept {
        return log_m == SKIP_PRODUCT ? Multiplier() : Multiplier(table_, log_m);
    }

    template <unsigned STORED>
    void ifft_eight_loaded(const EightRuns& u, std::size_t chunks, const ThreeLayerLogs& logs,
                           std::size_t loaded) const noexcept {
        if (loaded == 4) {
            eight<true, 4, STORED>(u, chunks, logs);
        } else if (loaded == 5) {
            eight<true, 5, STORED>(u, chunks, logs);
        } else if (loaded == 6) {
            eight<true, 6, STORED>(u, chunks, logs);
        } else {
            eight<true, 8, STORED>(u, chunks, logs);
        }
    }

    template <bool IFFT, unsigned LOADED = 8, unsigned STORED = 8>
    void eight(const EightRuns& u, std::size_t chunks, const ThreeLayerLogs& logs) const noexcept {
        const auto at = [&](std::size_t i) { return reinterpret_cast<std::uint8_t*>(u.u[i]); };
        sweep8<IFFT, LOADED, STORED>(at(0), at(1), at(2), at(3), at(4), at(5), at(6), at(7), chunks,
                                     zero_if_skipped(logs.a), zero_if_skipped(logs.b[0]), zero_if_skipped(logs.b[1]),
                                     zero_if_skipped(logs.c[0]), zero_if_skipped(logs.c[1]),
                                     zero_if_skipped(logs.c[2]), zero_if_skipped(logs.c[3]));
    }

    // The loop of fft_eight / ifft_eight; only the first LOADED runs (4, 5,
    // 6 or 8) are loaded, the others read as zero, and the ifft leaves out
    // the butterflies that map zeros to zeros: (u6,u7) with fewer than eight,
    // all of u4..u7's layers c and b with four. Only the first STORED runs
    // (6 or 8) are written.
    template <bool IFFT, unsigned LOADED = 8, unsigned STORED = 8>
    [[gnu::noinline]] static void sweep8(std::uint8_t* u0, std::uint8_t* u1, std::uint8_t* u2, std::uint8_t* u3,
                                         std::uint8_t* u4, std::uint8_t* u5, std::uint8_t* u6, std::uint8_t* u7,
                                         std::size_t chunks, Multiplier a, Multiplier b0, Multiplier b1,
                                         Multiplier c0, Multiplier c1, Multiplier c2, Multiplier c3) noexcept {
        const std::size_t end = chunks * CHUNK_BYTES;
        for (std::size_t c = 0; c < end; c += CHUNK_BYTES) {
            for (std::size_t k = 0; k < Ops::BLOCKS; ++k) {
                Block x0 = Ops::load(u0 + c, k), x1 = Ops::load(u1 + c, k);
                Block x2 = Ops::load(u2 + c, k), x3 = Ops::load(u3 + c, k);
                const Block zero = Ops::bxor(x0, x0);
                Block x4 = LOADED >= 5 ? Ops::load(u4 + c, k) : zero;
                Block x5 = LOADED >= 6 ? Ops::load(u5 + c, k) : zero;
                Block x6 = LOADED == 8 ? Ops::load(u6 + c, k) : zero;
                Block x7 = LOADED == 8 ? Ops::load(u7 + c, k) : zero;
                if constexpr (IFFT) {
                    ifft_step<false>(c0, x0, x1);
                    ifft_step<false>(c1, x2, x3);
                    ifft_step<false>(b0, x0, x2);
                    ifft_step<false>(b0, x1, x3);
                    if constexpr (LOADED > 4) {
                        ifft_step<false>(c2, x4, x5);
                        if constexpr (LOADED == 8) ifft_step<false>(c3, x6, x7);
                        ifft_step<false>(b1, x4, x6);
                        ifft_step<false>(b1, x5, x7);
                    }
                    ifft_step<false>(a, x0, x4);
                    ifft_step<false>(a, x1, x5);
                    ifft_step<false>(a, x2, x6);
                    ifft_step<false>(a, x3, x7);
                } else {
                    fft_step<false>(a, x0, x4);
                    fft_step<false>(a, x1, x5);
                    fft_step<false>(a, x2, x6);
                    fft_step<false>(a, x3, x7);
                    fft_step<false>(b0, x0, x2);
                    fft_step<false>(b0, x1, x3);
                    fft_step<false>(b1, x4, x6);
                    fft_step<false>(b1, x5, x7);
                    fft_step<false>(c0, x0, x1);
                    fft_step<false>(c1, x2, x3);
                    fft_step<false>(c2, x4, x5);
                    fft_step<false>(c3, x6, x7);
                }
                Ops::store(u0 + c, k, x0);
                Ops::store(u1 + c, k, x1);
                Ops::store(u2 + c, k, x2);
                Ops::store(u3 + c, k, x3);
                Ops::store(u4 + c, k, x4);
                Ops::store(u5 + c, k, x5);
                if constexpr (STORED == 8) {
                    Ops::store(u6 + c, k, x6);
                    Ops::store(u7 + c, k, x7);
                }
            }
        }
    }

    // y <- y XOR x over n chunks.
    static void xor_chunks(std::uint8_t* y, const std::uint8_t* x, std::size_t n) noexcept {
        for (std::size_t c = 0; c < n * CHUNK_BYTES; c += CHUNK_BYTES) {
            for (std::size_t k = 0; k < Ops::BLOCKS; ++k) {
                Ops::store(y + c, k, Ops::bxor(Ops::load(y + c, k), Ops::load(x + c, k)));
            }
        }
    }

    const typename Ops::Table& table_;
};
