// Compiled for the baseline: no target region needed.
#include "codec/engine/engine_ssse3.hpp"

#include <immintrin.h>

#include <algorithm>
#include <cstdint>

namespace ondrel::engine {
namespace ssse3_kernels {
namespace {

#include "codec/engine/generic/transform.hpp"
#include "codec/engine/generic/vector_kernels.hpp"

struct Ssse3Vector {
    using Reg = __m128i;
    static constexpr std::size_t BYTES = 16;

    static Reg load(const void* p) { return _mm_loadu_si128(static_cast<const __m128i*>(p)); }
    static void store(void* p, Reg v) { _mm_storeu_si128(static_cast<__m128i*>(p), v); }
    static Reg bxor(Reg a, Reg b) { return _mm_xor_si128(a, b); }
    static Reg band(Reg a, Reg b) { return _mm_and_si128(a, b); }
    static Reg nibble_mask() { return _mm_set1_epi8(0x0F); }
    static Reg shr4(Reg v) { return _mm_srli_epi64(v, 4); }
    static Reg shuffle(Reg table, Reg index) { return _mm_shuffle_epi8(table, index); }

    // Rows are loaded (aligned) from the table where they are used: sixteen
    // registers cannot hold eight rows beside the working set.
    class Rows {
    public:
        explicit Rows(const Mul128Entry& entry) noexcept : entry_(&entry) {}
        Reg lo(int r) const { return _mm_load_si128(reinterpret_cast<const __m128i*>(entry_->lo[r])); }
        Reg hi(int r) const { return _mm_load_si128(reinterpret_cast<const __m128i*>(entry_->hi[r])); }

    private:
        const Mul128Entry* entry_;
    };

    static Reg widen_lo(Reg v) { return _mm_unpacklo_epi16(v, _mm_setzero_si128()); }
    static Reg widen_hi(Reg v) { return _mm_unpackhi_epi16(v, _mm_setzero_si128()); }
    static Reg narrow(Reg lo, Reg hi) { return _mm_packus_epi32(lo, hi); }
    static Reg add32(Reg a, Reg b) { return _mm_add_epi32(a, b); }
    static Reg sub32(Reg a, Reg b) { return _mm_sub_epi32(a, b); }
    static Reg low16_32(Reg v) { return _mm_and_si128(v, _mm_set1_epi32(0xFFFF)); }
    static Reg fold_cut32(Reg v) { return low16_32(_mm_add_epi32(v, _mm_srli_epi32(v, 16))); }
    static Reg mulhi_u16(Reg a, Reg b) { return _mm_mulhi_epu16(a, b); }
    static Reg mullo32(Reg a, Reg b) { return _mm_mullo_epi32(a, b); }
};

using Kernels = VectorKernels<NibbleOps<Ssse3Vector>>;

}  // namespace
}  // namespace ssse3_kernels

void Ssse3::fft(const ShardsRefMut& data, std::size_t pos, std::size_t size, std::size_t truncated_size,
                std::size_t skew_delta) const {
    ssse3_kernels::fft_passes(ssse3_kernels::Kernels(mul128_), skew_, data, pos, size, truncated_size, skew_delta);
}

void Ssse3::ifft(const ShardsRefMut& data, std::size_t pos, std::size_t size, std::size_t truncated_size,
                 std::size_t skew_delta) const {
    ssse3_kernels::ifft_passes(ssse3_kernels::Kernels(mul128_), skew_, data, pos, size, truncated_size,
                               skew_delta);
}

void Ssse3::mul(std::span<Chunk> x, GfElement log_m) const noexcept { ssse3_kernels::Kernels(mul128_).mul(x, log_m); }

void Ssse3::eval_poly(std::span<GfElement, GF_ORDER> erasures, std::size_t truncated_size) {
    ssse3_kernels::eval_poly_vector<ssse3_kernels::Ssse3Vector>(erasures, truncated_size);
}

}  // namespace ondrel::engine
