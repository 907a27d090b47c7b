#include "src/jam_layout.hpp"

#include <immintrin.h>

#include <cstring>

namespace ondrel::jam {

namespace {

// Full 64-byte conversions with SSSE3 byte shuffles (the build baseline).
inline void words_to_block_full(const std::uint8_t* words, std::uint8_t* block) noexcept {
    // Gather even bytes (low) into the first 8 bytes and odd bytes (high) into
    // the last 8 of each 16-byte vector.
    const __m128i split = _mm_setr_epi8(0, 2, 4, 6, 8, 10, 12, 14, 1, 3, 5, 7, 9, 11, 13, 15);
    const __m128i a = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(words)), split);
    const __m128i b = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(words + 16)), split);
    const __m128i c = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(words + 32)), split);
    const __m128i d = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(words + 48)), split);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(block), _mm_unpacklo_epi64(a, b));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(block + 16), _mm_unpacklo_epi64(c, d));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(block + 32), _mm_unpackhi_epi64(a, b));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(block + 48), _mm_unpackhi_epi64(c, d));
}

inline void block_to_words_full(const std::uint8_t* block, std::uint8_t* words) noexcept {
    const __m128i lo0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block));
    const __m128i lo1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 16));
    const __m128i hi0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 32));
    const __m128i hi1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 48));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(words), _mm_unpacklo_epi8(lo0, hi0));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(words + 16), _mm_unpackhi_epi8(lo0, hi0));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(words + 32), _mm_unpacklo_epi8(lo1, hi1));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(words + 48), _mm_unpackhi_epi8(lo1, hi1));
}

}  // namespace

void words_to_block(const std::uint8_t* words, std::size_t count, std::uint8_t* block) noexcept {
    if (count == BLOCK_BYTES) {
        words_to_block_full(words, block);
        return;
    }
    std::uint8_t padded[BLOCK_BYTES] = {};
    std::memcpy(padded, words, count);
    words_to_block_full(padded, block);
}

void block_to_words(const std::uint8_t* block, std::size_t count, std::uint8_t* words) noexcept {
    if (count == BLOCK_BYTES) {
        block_to_words_full(block, words);
        return;
    }
    std::uint8_t full[BLOCK_BYTES];
    block_to_words_full(block, full);
    std::memcpy(words, full, count);
}

}  // namespace ondrel::jam
