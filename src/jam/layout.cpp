#include "src/jam/layout.hpp"

#include <immintrin.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "codec/engine/engine_default.hpp"

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

void words_to_blocks(const std::uint8_t* words, std::size_t count, std::uint8_t* blocks) noexcept {
    for (; count >= BLOCK_BYTES; count -= BLOCK_BYTES, words += BLOCK_BYTES, blocks += BLOCK_BYTES) {
        words_to_block_full(words, blocks);
    }
    if (count > 0) words_to_block(words, count, blocks);
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

namespace {

inline void stream_line(std::uint8_t* dst, const std::uint8_t* src) noexcept {
    auto* line = reinterpret_cast<__m128i*>(dst);
    const auto* from = reinterpret_cast<const __m128i*>(src);
    _mm_stream_si128(line, _mm_loadu_si128(from));
    _mm_stream_si128(line + 1, _mm_loadu_si128(from + 1));
    _mm_stream_si128(line + 2, _mm_loadu_si128(from + 2));
    _mm_stream_si128(line + 3, _mm_loadu_si128(from + 3));
}

inline std::size_t line_offset(const std::uint8_t* at) noexcept {
    return reinterpret_cast<std::uintptr_t>(at) % BLOCK_BYTES;
}

}  // namespace

void RowStream::append(std::uint8_t* row, std::size_t offset, const std::uint8_t* src, std::size_t count,
                       bool last) noexcept {
    std::uint8_t* at = row + offset;
    // The pending bytes end at `at`; they start on a line boundary or at the
    // row's first byte (whose line may begin before the row).
    if (pending_count_ > 0 || line_offset(at) != 0) {
        const std::size_t room = BLOCK_BYTES - line_offset(at);
        const std::size_t take = std::min(room, count);
        std::memcpy(pending_ + pending_count_, src, take);
        pending_count_ += take;
        at += take;
        src += take;
        count -= take;
        if (line_offset(at) == 0) {
            std::uint8_t* const from = at - pending_count_;
            if (pending_count_ == BLOCK_BYTES) {
                stream_line(from, pending_);
            } else {
                std::memcpy(from, pending_, pending_count_);  // the row's first line
            }
            pending_count_ = 0;
        }
    }
    for (; count >= BLOCK_BYTES; count -= BLOCK_BYTES, at += BLOCK_BYTES, src += BLOCK_BYTES) {
        stream_line(at, src);
    }
    if (count > 0) {
        std::memcpy(pending_ + pending_count_, src, count);
        pending_count_ += count;
        at += count;
    }
    if (last && pending_count_ > 0) {
        std::memcpy(at - pending_count_, pending_, pending_count_);
        pending_count_ = 0;
    }
}

void blocks_to_words_streamed(const std::uint8_t* blocks, std::size_t count, RowStream& stream, std::uint8_t* row,
                              std::size_t offset, bool last) noexcept {
    // Converted through a buffer in L1, a few blocks at a time.
    constexpr std::size_t STAGE_BYTES = 16 * BLOCK_BYTES;
    alignas(64) std::uint8_t stage[STAGE_BYTES];
    for (std::size_t done = 0; done < count; done += STAGE_BYTES) {
        const std::size_t bytes = std::min(STAGE_BYTES, count - done);
        for (std::size_t at = 0; at < bytes; at += BLOCK_BYTES) {
            const std::uint8_t* block = blocks + done + at;
            if (bytes - at >= BLOCK_BYTES) {
                block_to_words_full(block, stage + at);
            } else {
                std::uint8_t full[BLOCK_BYTES];
                block_to_words_full(block, full);
                std::memcpy(stage + at, full, bytes - at);
            }
        }
        stream.append(row, offset + done, stage, bytes, last && done + bytes == count);
    }
}

void copy_streamed(const std::uint8_t* src, std::size_t count, RowStream& stream, std::uint8_t* row,
                   std::size_t offset, bool last) noexcept {
    stream.append(row, offset, src, count, last);
}

void store_fence() noexcept { _mm_sfence(); }

namespace {

constexpr LayoutKernels PORTABLE_LAYOUT{"portable", words_to_blocks, blocks_to_words_streamed, copy_streamed};

// Best first, each with the features it needs; the last needs none.
struct LayoutRow {
    const LayoutKernels* kernels;
    engine::CpuFeatures needs;
};
const LayoutRow LAYOUTS[] = {
    {&AVX512VBMI_LAYOUT, engine::FEATURE_AVX512_VBMI},
    {&PORTABLE_LAYOUT, 0},
};

const LayoutKernels& best_for(engine::CpuFeatures features) {
    for (const LayoutRow& row : LAYOUTS) {
        if ((row.needs & ~features) == 0) return *row.kernels;
    }
    return PORTABLE_LAYOUT;
}

}  // namespace

const LayoutKernels& layout_kernels() {
    static const LayoutKernels& chosen = best_for(engine::kernel_choice().usable);
    return chosen;
}

std::vector<const LayoutKernels*> available_layout_kernels() {
    std::vector<const LayoutKernels*> sets;
    for (const LayoutRow& row : LAYOUTS) {
        if ((row.needs & ~engine::cpu_features()) == 0) sets.push_back(row.kernels);
    }
    return sets;
}

}  // namespace ondrel::jam
