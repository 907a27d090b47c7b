// Every include comes before the target region: inline functions and
// templates of headers parsed inside it would be emitted with AVX2 code as
// weak symbols that the linker may pick for baseline callers. Only this
// unit's own namespace is compiled for AVX2.
#include "codec/engine/engine_avx2.hpp"

#include <immintrin.h>

#include <algorithm>
#include <cstdint>

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2")
#endif

namespace ondrel::engine::avx2_kernels {
namespace {

#include "codec/engine/generic/transform.hpp"
#include "codec/engine/generic/vector_kernels.hpp"
#include "codec/engine/generic/formal_derivative.hpp"
#include "codec/engine/generic/eval_poly.hpp"

struct Avx2Vector {
    using Reg = __m256i;
    static constexpr std::size_t BYTES = 32;

    static Reg load(const void* p) { return _mm256_loadu_si256(static_cast<const __m256i*>(p)); }
    static void store(void* p, Reg v) { _mm256_storeu_si256(static_cast<__m256i*>(p), v); }
    static Reg bxor(Reg a, Reg b) { return _mm256_xor_si256(a, b); }
    static Reg band(Reg a, Reg b) { return _mm256_and_si256(a, b); }
    static Reg nibble_mask() { return _mm256_set1_epi8(0x0F); }
    static Reg shr4(Reg v) { return _mm256_srli_epi64(v, 4); }
    static Reg shuffle(Reg table, Reg index) { return _mm256_shuffle_epi8(table, index); }

    // The byte shuffle looks up within each 128-bit lane, so every row is
    // broadcast to both lanes, at the point of use. Sixteen registers cannot
    // hold eight rows beside a butterfly's working set: kept rows were spilled
    // to the stack on every call, and one-chunk shards (the common case) paid
    // for the spill stores without reuse. A broadcast from the L1-resident
    // entry costs the same as reloading a spill.
    class Rows {
    public:
        explicit Rows(const Mul128Entry& entry) noexcept : entry_(&entry) {}
        Reg lo(int r) const { return broadcast(entry_->lo[r]); }
        Reg hi(int r) const { return broadcast(entry_->hi[r]); }

    private:
        static Reg broadcast(const std::uint8_t* row) {
            return _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(row)));
        }
        const Mul128Entry* entry_;
    };

    // eval_poly (16-bit lanes).
    static Reg ones() { return _mm256_set1_epi32(-1); }
    static Reg add16(Reg a, Reg b) { return _mm256_add_epi16(a, b); }
    static Reg sub16(Reg a, Reg b) { return _mm256_sub_epi16(a, b); }
    static Reg adds_u16(Reg a, Reg b) { return _mm256_adds_epu16(a, b); }
    static Reg subs_u16(Reg a, Reg b) { return _mm256_subs_epu16(a, b); }
    static Reg max_u16(Reg a, Reg b) { return _mm256_max_epu16(a, b); }
    static Reg min_u16(Reg a, Reg b) { return _mm256_min_epu16(a, b); }
    static Reg mullo16(Reg a, Reg b) { return _mm256_mullo_epi16(a, b); }
    static Reg mulhi_u16(Reg a, Reg b) { return _mm256_mulhi_epu16(a, b); }
    static Reg shl32_16(Reg v) { return _mm256_slli_epi32(v, 16); }
    static Reg shr32_16(Reg v) { return _mm256_srli_epi32(v, 16); }
    static Reg blend_odd16(Reg a, Reg b) { return _mm256_blend_epi16(a, b, 0xAA); }
    static Reg pick_even32(Reg a, Reg b) {
        return _mm256_castps_si256(_mm256_shuffle_ps(_mm256_castsi256_ps(a), _mm256_castsi256_ps(b), 0x88));
    }
    static Reg pick_odd32(Reg a, Reg b) {
        return _mm256_castps_si256(_mm256_shuffle_ps(_mm256_castsi256_ps(a), _mm256_castsi256_ps(b), 0xDD));
    }
    static Reg evens_then_odds16(Reg v) {
        return _mm256_shuffle_epi8(v, _mm256_setr_epi8(0, 1, 4, 5, 8, 9, 12, 13, 2, 3, 6, 7, 10, 11, 14, 15, 0, 1,
                                                       4, 5, 8, 9, 12, 13, 2, 3, 6, 7, 10, 11, 14, 15));
    }
    static Reg lo64(Reg a, Reg b) { return _mm256_unpacklo_epi64(a, b); }
    static Reg hi64(Reg a, Reg b) { return _mm256_unpackhi_epi64(a, b); }
    // r0 and r1 are one block each (two 128-bit halves); block form gathers
    // the first halves in a and the second halves in b.
    static void split_blocks(Reg r0, Reg r1, Reg& a, Reg& b) {
        a = _mm256_permute2x128_si256(r0, r1, 0x20);
        b = _mm256_permute2x128_si256(r0, r1, 0x31);
    }
    static void join_blocks(Reg a, Reg b, Reg& r0, Reg& r1) {
        r0 = _mm256_permute2x128_si256(a, b, 0x20);
        r1 = _mm256_permute2x128_si256(a, b, 0x31);
    }
};

using Kernels = VectorKernels<NibbleOps<Avx2Vector>>;

void fft_private_avx2(const Mul128Table& mul128, const SkewTable& skew, const ShardsRefMut& data,
                      std::size_t pos, std::size_t size, std::size_t truncated_size, std::size_t skew_delta,
                      std::optional<std::size_t> copy_of) {
    fft_passes(Kernels(mul128), skew, data, pos, size, truncated_size, skew_delta, copy_of);
}

void ifft_private_avx2(const Mul128Table& mul128, const SkewTable& skew, const ShardsRefMut& data,
                       std::size_t pos, std::size_t size, std::size_t truncated_size, std::size_t skew_delta,
                       KnownShards zeros) {
    ifft_passes(Kernels(mul128), skew, data, pos, size, truncated_size, skew_delta, zeros);
}

void mul_avx2(const Mul128Table& mul128, std::span<Chunk> x, GfElement log_m) noexcept {
    Kernels(mul128).mul(x, log_m);
}

void formal_derivative_avx2(std::uint8_t* base, std::size_t n, std::size_t row, std::size_t end) {
    formal_derivative_groups<Avx2Vector>(base, n, row, end);
}

void eval_poly_private_avx2(std::span<GfElement, GF_ORDER> erasures, std::size_t truncated_size) {
    eval_poly_vector<Avx2Vector>(erasures, truncated_size);
}

}  // namespace
}  // namespace ondrel::engine::avx2_kernels

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

namespace ondrel::engine {

void Avx2::fft(const ShardsRefMut& data, std::size_t pos, std::size_t size, std::size_t truncated_size,
               std::size_t skew_delta, std::optional<std::size_t> copy_of) const {
    avx2_kernels::fft_private_avx2(mul128_, skew_, data, pos, size, truncated_size, skew_delta, copy_of);
}

void Avx2::ifft(const ShardsRefMut& data, std::size_t pos, std::size_t size, std::size_t truncated_size,
                std::size_t skew_delta, KnownShards zeros) const {
    avx2_kernels::ifft_private_avx2(mul128_, skew_, data, pos, size, truncated_size, skew_delta, zeros);
}

void Avx2::mul(std::span<Chunk> x, GfElement log_m) const noexcept { avx2_kernels::mul_avx2(mul128_, x, log_m); }

GroupedDerivative Avx2::grouped_derivative() const noexcept { return avx2_kernels::formal_derivative_avx2; }

void Avx2::eval_poly_avx2(std::span<GfElement, GF_ORDER> erasures, std::size_t truncated_size) {
    avx2_kernels::eval_poly_private_avx2(erasures, truncated_size);
}

}  // namespace ondrel::engine
