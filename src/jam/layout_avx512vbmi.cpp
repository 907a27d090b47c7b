// Segment-layout conversions with AVX-512 VBMI byte permutations. A block in
// chunk layout (32 low bytes, then 32 high bytes) and its 64 bytes of words
// are one vpermb apart, and an output line that straddles two blocks' words
// is one vpermt2b of the two blocks: rows are written line by line straight
// from the codec's blocks, without the portable version's staging buffer.
//
// Every include comes before the target region (see engine_avx512gfni.cpp).
#include <immintrin.h>

#include <cstdint>

#include "src/jam/layout.hpp"

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx512f,avx512bw,avx512vbmi"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx512f,avx512bw,avx512vbmi")
#endif

namespace ondrel::jam {
namespace {

// Byte q of a block's words (low byte of word q/2 when q is even) sits at
// this position of the block in chunk layout.
constexpr std::uint8_t chunk_position(std::size_t q) {
    return static_cast<std::uint8_t>((q & 1) != 0 ? 32 + q / 2 : q / 2);
}

struct Index {
    alignas(64) std::uint8_t bytes[BLOCK_BYTES];
};

// Gathers the even (low) bytes of 64 bytes of words, then the odd ones.
constexpr Index make_to_block() {
    Index index{};
    for (std::size_t i = 0; i < BLOCK_BYTES; ++i) {
        index.bytes[i] = static_cast<std::uint8_t>(i < 32 ? 2 * i : 2 * (i - 32) + 1);
    }
    return index;
}
constexpr Index TO_BLOCK = make_to_block();

// SHIFTED[d] takes word bytes d..63 of a first block, then word bytes
// 0..d-1 of a second (indices of 64 and above pick from the second operand
// of vpermt2b). SHIFTED[0] is the plain conversion of one block.
struct ShiftTables {
    Index shift[BLOCK_BYTES];
};
constexpr ShiftTables make_shifted() {
    ShiftTables tables{};
    for (std::size_t d = 0; d < BLOCK_BYTES; ++d) {
        for (std::size_t p = 0; p < BLOCK_BYTES; ++p) {
            tables.shift[d].bytes[p] = p < BLOCK_BYTES - d
                                           ? chunk_position(d + p)
                                           : static_cast<std::uint8_t>(64 + chunk_position(p - (BLOCK_BYTES - d)));
        }
    }
    return tables;
}
constexpr ShiftTables SHIFTED = make_shifted();

// The zero-masking forms with a full mask are the plain instructions; g++
// 12's unmasked intrinsics trip -Wuninitialized.
constexpr __mmask64 ALL = ~__mmask64{0};

void words_to_blocks_vbmi(const std::uint8_t* words, std::size_t count, std::uint8_t* blocks) noexcept {
    const __m512i index = _mm512_load_si512(TO_BLOCK.bytes);
    for (; count >= BLOCK_BYTES; count -= BLOCK_BYTES, words += BLOCK_BYTES, blocks += BLOCK_BYTES) {
        _mm512_storeu_si512(blocks, _mm512_maskz_permutexvar_epi8(ALL, index, _mm512_loadu_si512(words)));
    }
    if (count > 0) words_to_block(words, count, blocks);
}

// The row's span [offset, offset + count) starts `head` bytes before a line
// boundary. The head completes the line the stream holds, the whole lines
// after it are permuted straight from the blocks, and the tail (under a
// line) goes back to the stream. Spans without a whole line take the
// portable road.
void blocks_to_words_streamed_vbmi(const std::uint8_t* blocks, std::size_t count, RowStream& stream,
                                   std::uint8_t* row, std::size_t offset, bool last) noexcept {
    std::uint8_t* const at = row + offset;
    const std::size_t head = (BLOCK_BYTES - reinterpret_cast<std::uintptr_t>(at) % BLOCK_BYTES) % BLOCK_BYTES;
    const std::size_t lines = count >= head + BLOCK_BYTES ? (count - head) / BLOCK_BYTES : 0;
    if (lines == 0) {
        blocks_to_words_streamed(blocks, count, stream, row, offset, last);
        return;
    }
    alignas(64) std::uint8_t words[2 * BLOCK_BYTES];
    if (head > 0) {
        block_to_words(blocks, BLOCK_BYTES, words);
        stream.append(row, offset, words, head, false);
    }
    // Line i holds word bytes head + 64i .. of the span: the end of block i
    // and, unless head is 0, the start of block i + 1, which exists because
    // the line ends inside the span.
    const __m512i index = _mm512_load_si512(SHIFTED.shift[head].bytes);
    auto* const line = reinterpret_cast<__m512i*>(at + head);
    if (head == 0) {
        for (std::size_t i = 0; i < lines; ++i) {
            _mm512_stream_si512(line + i, _mm512_maskz_permutexvar_epi8(
                                              ALL, index, _mm512_loadu_si512(blocks + i * BLOCK_BYTES)));
        }
    } else {
        __m512i current = _mm512_loadu_si512(blocks);
        for (std::size_t i = 0; i < lines; ++i) {
            const __m512i next = _mm512_loadu_si512(blocks + (i + 1) * BLOCK_BYTES);
            _mm512_stream_si512(line + i, _mm512_maskz_permutex2var_epi8(ALL, current, index, next));
            current = next;
        }
    }
    // The tail lies in at most two blocks.
    const std::size_t done = head + lines * BLOCK_BYTES;
    if (done < count) {
        const std::size_t first_block = done / BLOCK_BYTES;
        const std::size_t end_block = (count + BLOCK_BYTES - 1) / BLOCK_BYTES;
        for (std::size_t b = first_block; b < end_block; ++b) {
            block_to_words(blocks + b * BLOCK_BYTES, BLOCK_BYTES, words + (b - first_block) * BLOCK_BYTES);
        }
        stream.append(row, offset + done, words + (done - first_block * BLOCK_BYTES), count - done, last);
    }
}

// The whole lines of the span are written with one 512-bit non-temporal
// store each: on Zen 4, four 128-bit ones per line (RowStream's portable
// loop) cost five times as much per byte while the codec keeps the caches
// busy. The partial lines at either end go through the stream.
void copy_streamed_vbmi(const std::uint8_t* src, std::size_t count, RowStream& stream, std::uint8_t* row,
                        std::size_t offset, bool last) noexcept {
    std::uint8_t* const at = row + offset;
    const std::size_t head = (BLOCK_BYTES - reinterpret_cast<std::uintptr_t>(at) % BLOCK_BYTES) % BLOCK_BYTES;
    const std::size_t lines = count >= head + BLOCK_BYTES ? (count - head) / BLOCK_BYTES : 0;
    if (lines == 0) {
        stream.append(row, offset, src, count, last);
        return;
    }
    if (head > 0) stream.append(row, offset, src, head, false);
    auto* const line = reinterpret_cast<__m512i*>(at + head);
    for (std::size_t i = 0; i < lines; ++i) _mm512_stream_si512(line + i, _mm512_loadu_si512(src + head + i * BLOCK_BYTES));
    const std::size_t done = head + lines * BLOCK_BYTES;
    if (done < count) stream.append(row, offset + done, src + done, count - done, last);
}

}  // namespace

const LayoutKernels AVX512VBMI_LAYOUT{"avx512vbmi", words_to_blocks_vbmi, blocks_to_words_streamed_vbmi,
                                      copy_streamed_vbmi};

}  // namespace ondrel::jam

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif
