#include "codec/engine/gfni_tables.hpp"

namespace ondrel::engine {

namespace {

// Block of the matrix taking input byte `in_byte` (0 low, 1 high) of the
// multiplicand to output byte `out_byte` of the product; images[b] is the
// product of basis bit b. Row i (output bit i) lives in byte 7 - i and has
// bit j set when input bit j contributes to output bit i.
std::uint64_t block(const std::array<GfElement, GF_BITS>& images, unsigned in_byte, unsigned out_byte) {
    std::uint64_t matrix = 0;
    for (unsigned i = 0; i < 8; ++i) {
        std::uint64_t row = 0;
        for (unsigned j = 0; j < 8; ++j) {
            row |= std::uint64_t{(images[8 * in_byte + j] >> (8 * out_byte + i)) & 1u} << j;
        }
        matrix |= row << (8 * (7 - i));
    }
    return matrix;
}

}  // namespace

std::unique_ptr<AffineTable> initialize_affine_table() {
    const ExpLog& tables = get_exp_log();
    auto table = std::make_unique<AffineTable>();
    for (std::size_t log_m = 0; log_m < GF_ORDER; ++log_m) {
        std::array<GfElement, GF_BITS> images{};
        for (unsigned b = 0; b < GF_BITS; ++b) {
            images[b] = mul(static_cast<GfElement>(1u << b), static_cast<GfElement>(log_m), tables);
        }
        (*table)[log_m] = {block(images, 0, 0), block(images, 1, 1), block(images, 1, 0), block(images, 0, 1)};
    }
    return table;
}

// Never freed, like the other tables: pool threads may read it during exit.
const AffineTable& get_affine_table() {
    static const AffineTable* const table = initialize_affine_table().release();
    return *table;
}

}  // namespace ondrel::engine
