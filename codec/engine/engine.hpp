// The engine interface: all field arithmetic on shard data goes through here.
//
// Every operation applies the same element operations at every element
// position of the shards involved; positions never influence each other, so
// the 64-byte chunk is only the unit in which kernels load and store. All
// kernel sets compute exactly the same bytes as the scalar reference engine.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "codec/engine/shards.hpp"
#include "codec/engine/tables.hpp"

namespace ondrel::engine {

// Logarithm value that, inside FFT butterflies, means "twiddle factor zero:
// leave the product out". As a plain multiplier (mul) it means 1.
inline constexpr GfElement SKIP_PRODUCT = 65535;

// The erasure-locator evaluation is static: it has no engine object.
using EvalPolyFn = void (*)(std::span<GfElement, GF_ORDER> erasures, std::size_t truncated_size);

// What the caller of an inverse transform knows of its shards (which are
// zero on entry, which it reads afterwards), so that the transform can skip
// work.
struct KnownShards {
    // Shards pos..pos+prefix-1 are zero (prefix <= size, checked): the groups
    // of a pass lying wholly inside them stay zero and are skipped.
    std::size_t prefix = 0;
    // Shards from pos+truncated_size to the end of the block are to be read
    // as zero whatever they hold: the caller need not clear them, and the
    // transform overwrites them. Without it the caller clears them.
    bool tail = false;
    // Shards from pos+needed on are not read after the transform: it may
    // leave them in any state. Those below it are as without the bound.
    std::size_t needed = SIZE_MAX;
};

// One kernel set's form of the formal derivative for n shards of `row` bytes
// at `base`, n a power of two and at least eight (one in-register group):
// writes the outputs of the shards below `end` (a multiple of eight, at most
// n) and only reads the others.
using GroupedDerivative = void (*)(std::uint8_t* base, std::size_t n, std::size_t row, std::size_t end);

class Engine {
public:
    virtual ~Engine() = default;

    // Forward additive FFT of shards pos..pos+size-1 of `data`, in place.
    // Preconditions (checked; a violation throws InternalFailure): size is a
    // power of two, truncated_size <= size, pos + size <= data.shard_count(),
    // and every SKEW index formed lies in 0..65534. Only groups starting below
    // truncated_size are transformed in each pass.
    // With `copy_of`, the block is the transform of a copy of shards
    // copy_of..copy_of+size-1 instead: those are read and left unchanged, and
    // the block is written without being read. Both blocks lie in `data` and
    // do not overlap (checked).
    virtual void fft(const ShardsRefMut& data, std::size_t pos, std::size_t size, std::size_t truncated_size,
                     std::size_t skew_delta, std::optional<std::size_t> copy_of = std::nullopt) const = 0;

    // Inverse of fft with the same pos, size and skew_delta (and truncated_size
    // = size). The final single layer of odd-log2 sizes ignores truncated_size.
    // `zeros` says what the caller knows of the shards (KnownShards above):
    // the output below `needed` is that of the plain transform with the known
    // zeros zero.
    virtual void ifft(const ShardsRefMut& data, std::size_t pos, std::size_t size, std::size_t truncated_size,
                      std::size_t skew_delta, KnownShards zeros = {}) const = 0;

    // Every element e of `x` becomes mul(e, log_m); log_m 0 and 65535 are 1.
    virtual void mul(std::span<Chunk> x, GfElement log_m) const noexcept = 0;

    // engine::formal_derivative (below) in this kernel set's grouped form.
    void formal_derivative(const ShardsRefMut& data) const;

    // The grouped form of the formal derivative: the baseline's, which kernel
    // sets with wider registers replace by the same computation in their own
    // instructions.
    [[nodiscard]] virtual GroupedDerivative grouped_derivative() const noexcept;

    // The forward transform at skew 0 of the formal derivative of all n
    // shards of `data`: the shards below truncated_size end as after
    // formal_derivative(data) and fft(data, 0, n, truncated_size, 0), with
    // the same checks; the others are left in an unspecified state.
    //
    // With 0 < truncated_size <= n/4 only the first quarter of the derivative
    // is needed. The transform's first pass (distance q = n/4, one group) has
    // the logarithms SKEW[q - 1] and SKEW[2q - 1], both 65535 (SKEW is 65535
    // exactly at the indices 2^k - 1): it leaves the first quarter as it is,
    // and the passes after it, truncated to that quarter, read nothing else;
    // they are a transform of size q (same distances, groups and SKEW
    // indices). The derivative, out[p] = x[p] plus x[p | 2^b] for every zero
    // bit b of p, gives the first quarter as Dq(x0) + x1 + x2, with x0, x1, x2
    // the first three quarters and Dq the derivative of one quarter: the
    // derivative's outputs for the first quarter alone, which the grouped
    // form computes in one sweep (x1 and x2 are the terms of the two highest
    // bits), replace the whole derivative (which reads every shard about
    // log2(n)/2 times) and the transform's widest pass.
    void fft_of_derivative(const ShardsRefMut& data, std::size_t truncated_size) const;

    // The shards below this that fft_of_derivative reads from n shards with
    // this truncated_size: the first three quarters where the quarter form
    // above applies, else all n.
    [[nodiscard]] static std::size_t derivative_reads(std::size_t n, std::size_t truncated_size) noexcept;

    // Short name of the kernel set ("scalar", "ssse3", ...), so callers and
    // tests can see which one runs.
    [[nodiscard]] virtual const char* name() const noexcept = 0;
};

// x <- x XOR y, chunk by chunk, over the shorter of the two runs.
void xor_into(std::span<Chunk> x, std::span<const Chunk> y) noexcept;

// x <- x XOR y XOR z over the shortest of the three runs.
void xor_into(std::span<Chunk> x, std::span<const Chunk> y, std::span<const Chunk> z) noexcept;

// Shards x_pos..x_pos+count-1 <- themselves XOR shards y_pos..y_pos+count-1.
// The two ranges must lie inside `data` and not overlap (checked).
void xor_range(const ShardsRefMut& data, std::size_t x_pos, std::size_t y_pos, std::size_t count);

// Formal derivative of the polynomial whose coefficients are the shards of
// `data`, in place. data.shard_count() must be a power of two (checked).
void formal_derivative(const ShardsRefMut& data);

// formal_derivative computed by `grouped` where the shards fill at least one
// group, by the definition's sweep below that; the count check is the same.
// Kernel sets with wider registers pass their own form.
void formal_derivative(const ShardsRefMut& data, GroupedDerivative grouped);

// Checks the transform preconditions that do not depend on SKEW: size a power
// of two, truncated_size <= size, zeros.prefix <= size (inverse transform),
// pos + size <= data.shard_count().
void check_transform_args(const ShardsRefMut& data, std::size_t pos, std::size_t size,
                          std::size_t truncated_size, KnownShards zeros = {});

// Checks that data.shard_count() is a power of two, as the formal derivative
// requires.
void check_derivative_args(const ShardsRefMut& data);

// Checks that the source block of a forward transform (Engine::fft's
// copy_of) lies in `data` and does not overlap the block at pos.
void check_copy_source(const ShardsRefMut& data, std::size_t pos, std::size_t size, std::size_t copy_of);

// SKEW[index], checked against the table's 65535 entries.
[[nodiscard]] GfElement skew_at(const SkewTable& skew, std::size_t index);

}  // namespace ondrel::engine
