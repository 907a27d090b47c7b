// GF(2) bit matrices of multiplication by a constant, for kernels with the
// GF(2^8) affine instruction (GFNI).
//
// Multiplying by a fixed element is linear over XOR on the 16 bits of an
// element, so it is a 16x16 bit matrix made of four 8x8 blocks acting on the
// low byte L and the high byte H of the multiplicand:
//   product low byte  = lo_from_lo(L) XOR lo_from_hi(H)
//   product high byte = hi_from_lo(L) XOR hi_from_hi(H)
// Each block is stored in the operand form of gf2p8affineqb: output bit i of a
// byte x is the parity of (byte 7 - i of the qword) AND x.
#pragma once

#include <array>
#include <cstdint>
#include <memory>

#include "codec/engine/tables.hpp"

namespace ondrel::engine {

// The four blocks for one multiplier logarithm: the two that keep a byte in
// its half first, then the two that cross halves. 32-byte aligned, so an
// entry never straddles a cache line.
struct alignas(32) AffineEntry {
    std::uint64_t lo_from_lo;
    std::uint64_t hi_from_hi;
    std::uint64_t lo_from_hi;
    std::uint64_t hi_from_lo;
};
static_assert(sizeof(AffineEntry) == 32);

// Entry log_m multiplies by the element of logarithm log_m (0 and 65535 are 1).
using AffineTable = std::array<AffineEntry, GF_ORDER>;

// Builds the table from the images of the 16 basis bits under mul(., log_m).
// Called once per process by get_affine_table; tests may call it directly.
[[nodiscard]] std::unique_ptr<AffineTable> initialize_affine_table();

// The shared table (2 MiB), built on the first call in the process
// (thread-safe) and never freed. Only the GFNI kernel set needs it, so it is
// built when that set is first created, not with the other tables.
[[nodiscard]] const AffineTable& get_affine_table();

}  // namespace ondrel::engine
