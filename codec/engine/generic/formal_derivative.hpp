// The formal derivative of shard coefficients, written once over a register
// abstraction `V` (using Reg; BYTES; load, store, bxor) for every unit that
// computes it: the baseline in engine.cpp and the wider kernel sets.
//
// The sweep i = 1..n-1 that XORs shards [i, i + w) into [i - w, i), w the
// lowest set bit of i, only ever reads shards it has not written yet, so it
// computes out[p] = in[p] ^ (XOR of in[p | 2^b] over the zero bits b of p).
// That map is evaluated group by group of eight shards in ascending order, one
// register width of shard bytes at a time: the eight outputs start as the
// in-group terms and take the terms of higher bits from the same bytes of the
// groups above (still unwritten), all in registers; each output is written
// once and no shard is read twice per register width. The sweep form passes
// over the whole buffer once per bit, through runs of every width.
//
// Like transform.hpp this file has no include guard and no includes: it is
// included inside the includer's namespace (and target region).

// Shards in one in-register group.
inline constexpr std::size_t DERIVATIVE_GROUP = 8;

// Stores the first shards of the partner groups g | 2^b, for the zero bits
// b >= 3 of group g, in `partners` (room for 64: at most 61 bits) and returns
// how many there are.
inline std::size_t partner_groups(const std::uint8_t* base, std::size_t n, std::size_t row, std::size_t g,
                                  const std::uint8_t** partners) {
    std::size_t count = 0;
    for (std::size_t bit = DERIVATIVE_GROUP; bit < n; bit <<= 1) {
        if ((g & bit) == 0) partners[count++] = base + (g | bit) * row;
    }
    return count;
}

// The same map for 16-byte registers without three-operand forms, where eight
// sums and their operands do not fit the sixteen registers: the in-group
// terms of a 512-byte slice go to a buffer in L1 first, and each output then
// sums its column from there and from the partner groups.
template <class V>
void formal_derivative_groups_staged(std::uint8_t* base, std::size_t n, std::size_t row, std::size_t end) {
    using Reg = typename V::Reg;
    constexpr std::size_t GROUP = DERIVATIVE_GROUP;
    constexpr std::size_t SLICE = 512;
    static_assert(SLICE % V::BYTES == 0);
    alignas(64) std::uint8_t acc[GROUP][SLICE];
    const std::uint8_t* partners[64];
    for (std::size_t g = 0; g < end; g += GROUP) {
        std::uint8_t* const own = base + g * row;
        const std::size_t partner_count = partner_groups(base, n, row, g, partners);
        for (std::size_t from = 0; from < row; from += SLICE) {
            const std::size_t bytes = std::min(SLICE, row - from);
            for (std::size_t at = 0; at < bytes; at += V::BYTES) {
                Reg v[GROUP];
                for (std::size_t k = 0; k < GROUP; ++k) v[k] = V::load(own + k * row + from + at);
                V::store(acc[0] + at, V::bxor(V::bxor(v[0], v[1]), V::bxor(v[2], v[4])));
                V::store(acc[1] + at, V::bxor(V::bxor(v[1], v[3]), v[5]));
                V::store(acc[2] + at, V::bxor(V::bxor(v[2], v[3]), v[6]));
                V::store(acc[3] + at, V::bxor(v[3], v[7]));
                V::store(acc[4] + at, V::bxor(V::bxor(v[4], v[5]), v[6]));
                V::store(acc[5] + at, V::bxor(v[5], v[7]));
                V::store(acc[6] + at, V::bxor(v[6], v[7]));
                V::store(acc[7] + at, v[7]);
            }
            for (std::size_t k = 0; k < GROUP; ++k) {
                std::uint8_t* const out = own + k * row + from;
                for (std::size_t at = 0; at < bytes; at += V::BYTES) {
                    Reg sum = V::load(acc[k] + at);
                    for (std::size_t q = 0; q < partner_count; ++q) {
                        sum = V::bxor(sum, V::load(partners[q] + k * row + from + at));
                    }
                    V::store(out + at, sum);
                }
            }
        }
    }
}

// Writes the outputs of the shards below `end` only (the groups after them
// are read as partners, never written). Preconditions (the caller checks): n
// is a power of two, n >= 8, `end` a multiple of 8 and at most n, and `row`
// (bytes per shard) is a multiple of V::BYTES.
template <class V>
void formal_derivative_groups(std::uint8_t* base, std::size_t n, std::size_t row, std::size_t end) {
    if constexpr (V::BYTES < 32) {
        formal_derivative_groups_staged<V>(base, n, row, end);
        return;
    }
    using Reg = typename V::Reg;
    constexpr std::size_t GROUP = DERIVATIVE_GROUP;
    const std::uint8_t* partners[64];
    for (std::size_t g = 0; g < end; g += GROUP) {
        std::uint8_t* const own = base + g * row;
        const std::size_t partner_count = partner_groups(base, n, row, g, partners);
        for (std::size_t at = 0; at < row; at += V::BYTES) {
            Reg v[GROUP];
            for (std::size_t k = 0; k < GROUP; ++k) v[k] = V::load(own + k * row + at);
            Reg sum[GROUP] = {
                V::bxor(V::bxor(v[0], v[1]), V::bxor(v[2], v[4])),
                V::bxor(V::bxor(v[1], v[3]), v[5]),
                V::bxor(V::bxor(v[2], v[3]), v[6]),
                V::bxor(v[3], v[7]),
                V::bxor(V::bxor(v[4], v[5]), v[6]),
                V::bxor(v[5], v[7]),
                V::bxor(v[6], v[7]),
                v[7],
            };
            for (std::size_t q = 0; q < partner_count; ++q) {
                const std::uint8_t* const partner = partners[q] + at;
                for (std::size_t k = 0; k < GROUP; ++k) sum[k] = V::bxor(sum[k], V::load(partner + k * row));
            }
            for (std::size_t k = 0; k < GROUP; ++k) V::store(own + k * row + at, sum[k]);
        }
    }
}
