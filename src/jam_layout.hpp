// Conversion between the word layout of segment shards and the chunk layout
// of the codec.
//
// A segment shard is a run of 2-byte words (byte 0 low, byte 1 high). The
// codec computes every element position of a shard independently, and stores
// a whole 64-byte block of a shard as one chunk (32 low bytes, then 32 high
// bytes). So 32 consecutive word positions of all shards can share one codec
// pass: each shard's 32 words become one block, low bytes first.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ondrel::jam {

inline constexpr std::size_t WORDS_PER_BLOCK = 32;
inline constexpr std::size_t BLOCK_BYTES = 64;

// Turns `count` bytes of words at `words` (count <= 64, even) into one block at
// `block`: low bytes to block bytes 0..31, high bytes to 32..63; lanes beyond
// count / 2 are zero. Reads exactly `count` bytes and writes exactly 64.
void words_to_block(const std::uint8_t* words, std::size_t count, std::uint8_t* block) noexcept;

// The inverse: writes the first `count` bytes (even, <= 64) of the word form
// of `block` to `words`. Writes exactly `count` bytes.
void block_to_words(const std::uint8_t* block, std::size_t count, std::uint8_t* words) noexcept;

}  // namespace ondrel::jam
