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
#include "codec/engine/generic/eval_poly.hpp"

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

    // eval_poly (16-bit lanes; the baseline includes SSE4.1).
    static Reg ones() { return _mm_set1_epi32(-1); }
    static Reg add16(Reg a, Reg b) { return _mm_add_epi16(a, b); }
    static Reg sub16(Reg a, Reg b) { return _mm_sub_epi16(a, b); }
    static Reg adds_u16(Reg a, Reg b) { return _mm_adds_epu16(a, b); }
    static Reg subs_u16(Reg a, Reg b) { return _mm_subs_epu16(a, b); }
    static Reg max_u16(Reg a, Reg b) { return _mm_max_epu16(a, b); }
    static Reg min_u16(Reg a, Reg b) { return _mm_min_epu16(a, b); }
    static Reg mullo16(Reg a, Reg b) { return _mm_mullo_epi16(a, b); }
    static Reg mulhi_u16(Reg a, Reg b) { return _mm_mulhi_epu16(a, b); }
    static Reg shl32_16(Reg v) { return _mm_slli_epi32(v, 16); }
    static Reg shr32_16(Reg v) { return _mm_srli_epi32(v, 16); }
    static Reg blend_odd16(Reg a, Reg b) { return _mm_blend_epi16(a, b, 0xAA); }
    static Reg pick_even32(Reg a, Reg b) {
        return _mm_castps_si128(_mm_shuffle_ps(_mm_castsi128_ps(a), _mm_castsi128_ps(b), 0x88));
    }
    static Reg pick_odd32(Reg a, Reg b) {
        return _mm_castps_si128(_mm_shuffle_ps(_mm_castsi128_ps(a), _mm_castsi128_ps(b), 0xDD));
    }
    static Reg evens_then_odds16(Reg v) {
        return _mm_shuffle_epi8(v, _mm_setr_epi8(0, 1, 4, 5, 8, 9, 12, 13, 2, 3, 6, 7, 10, 11, 14, 15));
    }
    static Reg lo64(Reg a, Reg b) { return _mm_unpacklo_epi64(a, b); }
    static Reg hi64(Reg a, Reg b) { return _mm_unpackhi_epi64(a, b); }
    // A register pair is one block of 16 words, already in block form.
    static void split_blocks(Reg r0, Reg r1, Reg& a, Reg& b) {
        a = r0;
        b = r1;
    }
    static void join_blocks(Reg a, Reg b, Reg& r0, Reg& r1) {
        r0 = a;
        r1 = b;
    }
};

using Kernels = VectorKernels<NibbleOps<Ssse3Vector>>;

}  // namespace
}  // namespace ssse3_kernels

void Ssse3::fft(const ShardsRefMut& data, std::size_t pos, std::size_t size, std::size_t truncated_size,
                std::size_t skew_delta, std::optional<std::size_t> copy_of) const {
    ssse3_kernels::fft_passes(ssse3_kernels::Kernels(mul128_), skew_, data, pos, size, truncated_size, skew_delta,
                              copy_of);
}

void Ssse3::ifft(const ShardsRefMut& data, std::size_t pos, std::size_t size, std::size_t truncated_size,
                 std::size_t skew_delta, KnownShards zeros) const {
    ssse3_kernels::ifft_passes(ssse3_kernels::Kernels(mul128_), skew_, data, pos, size, truncated_size,
                               skew_delta, zeros);
}

void Ssse3::mul(std::span<Chunk> x, GfElement log_m) const noexcept { ssse3_kernels::Kernels(mul128_).mul(x, log_m); }

void Ssse3::eval_poly(std::span<GfElement, GF_ORDER> erasures, std::size_t truncated_size) {
    ssse3_kernels::eval_poly_vector<ssse3_kernels::Ssse3Vector>(erasures, truncated_size);
}

}  // namespace ondrel::engine
