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
#include <vector>

namespace ondrel::jam {

inline constexpr std::size_t WORDS_PER_BLOCK = 32;
inline constexpr std::size_t BLOCK_BYTES = 64;

// Turns `count` bytes of words at `words` (count <= 64, even) into one block at
// `block`: low bytes to block bytes 0..31, high bytes to 32..63; lanes beyond
// count / 2 are zero. Reads exactly `count` bytes and writes exactly 64.
void words_to_block(const std::uint8_t* words, std::size_t count, std::uint8_t* block) noexcept;

// words_to_block over `count` bytes (even): whole blocks, the last one
// zero-padded if partial. Reads exactly `count` bytes and writes
// ceil(count / 64) blocks.
void words_to_blocks(const std::uint8_t* words, std::size_t count, std::uint8_t* blocks) noexcept;

// The inverse: writes the first `count` bytes (even, <= 64) of the word form
// of `block` to `words`. Writes exactly `count` bytes.
void block_to_words(const std::uint8_t* block, std::size_t count, std::uint8_t* words) noexcept;

// Writes one shard row span after span, in increasing order, as whole 64-byte
// lines with non-temporal stores. Rows are written once and not read back
// soon, so their lines should neither evict the codec's work buffer nor cost a
// read before being overwritten; but a row is written a tile (often 512
// bytes) at a time at an arbitrary alignment, so the partial line at the end
// of one span is held back here and completed by the next span. Only the
// partial lines at the two ends of the row get ordinary stores.
//
// Usage: one RowStream per row; append spans whose offsets follow each other
// from 0; the span that reaches the row's length has `last` set (a row of
// length 0 needs no calls). Non-temporal stores are weakly ordered: call
// store_fence() before other threads may read the row.
class RowStream {
public:
    // Writes `count` bytes from `src` to row[offset .. offset + count).
    // Preconditions: offset is where the previous span ended (0 for the
    // first); `src` does not overlap the row.
    void append(std::uint8_t* row, std::size_t offset, const std::uint8_t* src, std::size_t count, bool last) noexcept;

private:
    // The bytes of the current line not yet written, which end where the
    // next span begins.
    alignas(64) std::uint8_t pending_[BLOCK_BYTES];
    std::size_t pending_count_ = 0;
};

// The word form of `count` bytes (even) of consecutive blocks starting at
// `blocks`, appended to a row through `stream` (see RowStream::append).
void blocks_to_words_streamed(const std::uint8_t* blocks, std::size_t count, RowStream& stream, std::uint8_t* row,
                              std::size_t offset, bool last) noexcept;

// `count` bytes of `src` appended to a row through `stream`: the same as
// stream.append(row, offset, src, count, last).
void copy_streamed(const std::uint8_t* src, std::size_t count, RowStream& stream, std::uint8_t* row,
                   std::size_t offset, bool last) noexcept;

// The segment layer's hot conversions and row copy for one instruction set;
// every set produces exactly the bytes of the portable functions of the same
// names.
struct LayoutKernels {
    const char* name;
    void (*words_to_blocks)(const std::uint8_t* words, std::size_t count, std::uint8_t* blocks) noexcept;
    void (*blocks_to_words_streamed)(const std::uint8_t* blocks, std::size_t count, RowStream& stream,
                                     std::uint8_t* row, std::size_t offset, bool last) noexcept;
    void (*copy_streamed)(const std::uint8_t* src, std::size_t count, RowStream& stream, std::uint8_t* row,
                          std::size_t offset, bool last) noexcept;
};

// The conversions written with the byte permutations of AVX-512 VBMI. Only
// callable where engine::cpu_features() reports FEATURE_AVX512_VBMI.
extern const LayoutKernels AVX512VBMI_LAYOUT;

// The best set that the engine's kernel choice allows (AVX-512 VBMI, else the
// portable functions; see engine::KernelSet::allows), chosen on the first
// call; the reference stays valid for the process's lifetime.
[[nodiscard]] const LayoutKernels& layout_kernels();

// Every set this CPU runs, best first, ending with the portable one. For
// tests, which must reach each of them.
[[nodiscard]] std::vector<const LayoutKernels*> available_layout_kernels();

// Orders all earlier non-temporal stores of this thread before later stores.
void store_fence() noexcept;

}  // namespace ondrel::jam
