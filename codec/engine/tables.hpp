// GF(2^16) constants, logarithm arithmetic and the process-wide lookup tables.
//
// Elements are 16-bit values read in the Cantor basis below; addition is XOR.
// Every product in the system multiplies an element by a second element given
// by its logarithm, through `exp`/`log` (scalar) or the nibble tables of MUL128
// (vector kernels). Each table is built once per process on first use, is
// read-only afterwards and is never freed (worker threads may still read it
// while the process exits).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace ondrel::engine {

using GfElement = std::uint16_t;

inline constexpr unsigned GF_BITS = 16;
inline constexpr std::size_t GF_ORDER = 65536;
inline constexpr std::size_t GF_MODULUS = 65535;
inline constexpr std::uint32_t GF_POLYNOMIAL = 0x1002D;

// clang-format off
inline constexpr std::array<GfElement, 16> CANTOR_BASIS = {
    0x0001, 0xACCA, 0x3C0E, 0x163E, 0xC582, 0xED2E, 0x914C, 0x4012,
    0x6C98, 0x10D8, 0x6A72, 0xB900, 0xFDB8, 0xFB34, 0xFF38, 0x991E,
};
// clang-format on

// (a + b) mod 65535 on logarithms; a sum of exactly 65535 stays 65535.
[[nodiscard]] constexpr GfElement add_mod(GfElement a, GfElement b) noexcept {
    const std::uint32_t s = std::uint32_t{a} + b;
    return static_cast<GfElement>(s + (s >> 16));
}

// (a - b) mod 65535 on logarithms.
[[nodiscard]] constexpr GfElement sub_mod(GfElement a, GfElement b) noexcept {
    const std::uint32_t d = std::uint32_t{a} - b;
    return static_cast<GfElement>(d + (d >> 16));
}

using LogTable = std::array<GfElement, GF_ORDER>;

// `exp[i]` is the element of logarithm i (exp[65535] = exp[0] = 1);
// `log[x]` is the logarithm of x in 0..65534, with log[0] = 65535.
struct ExpLog {
    LogTable exp;
    LogTable log;
};

// Nibble product rows for one multiplier logarithm: byte x of row r of `lo`
// (`hi`) is the low (high) byte of mul(x << 4r, log_m). The rows are 16-byte
// aligned so vector kernels can load them with aligned loads.
struct alignas(16) Mul128Entry {
    std::uint8_t lo[4][16];
    std::uint8_t hi[4][16];
};
static_assert(sizeof(Mul128Entry) == 128);

using Mul128Table = std::array<Mul128Entry, GF_ORDER>;
using SkewTable = std::array<GfElement, GF_MODULUS>;

// The product of element x and the element of logarithm log_m (0 and 65535
// both mean 1). Reads `tables`, which must come from get_exp_log().
[[nodiscard]] inline GfElement mul(GfElement x, GfElement log_m, const ExpLog& tables) noexcept {
    return x == 0 ? 0 : tables.exp[add_mod(tables.log[x], log_m)];
}

// Builders: each returns a freshly built, owned table. They are called by the
// accessors below exactly once per process; tests may call them directly.
[[nodiscard]] std::unique_ptr<ExpLog> initialize_exp_log();
[[nodiscard]] std::unique_ptr<LogTable> initialize_log_walsh();
[[nodiscard]] std::unique_ptr<Mul128Table> initialize_mul128();
[[nodiscard]] std::unique_ptr<SkewTable> initialize_skew();

// Accessors: the shared table, built on the first call in the process
// (thread-safe; concurrent first callers wait for the one builder). The
// reference stays valid for the life of the process.
[[nodiscard]] const ExpLog& get_exp_log();
[[nodiscard]] const LogTable& get_log_walsh();
[[nodiscard]] const Mul128Table& get_mul128();
[[nodiscard]] const SkewTable& get_skew();

// Scalar product through the shared tables.
[[nodiscard]] inline GfElement mul(GfElement x, GfElement log_m) { return mul(x, log_m, get_exp_log()); }

// In-place Walsh-Hadamard transform modulo 65535 over 65536 residues, two
// layers per pass; each pass only transforms groups that start below
// `truncated_size`.
void fwht(std::span<GfElement, GF_ORDER> data, std::size_t truncated_size) noexcept;

}  // namespace ondrel::engine
