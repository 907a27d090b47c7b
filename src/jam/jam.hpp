// Segment coding: the fixed shard layout that Python callers see.
//
// A byte string is padded with zeros to a multiple of 2 * orig bytes and cut
// into `orig` consecutive original shards of equal length; each 2-byte word
// position of the shards (byte 0 low, byte 1 high) is one code word of `orig`
// original symbols, from which the codec computes `rec` recovery symbols.
//
// Every operation returns a codec Error as a value and throws
// ondrel::InternalFailure for the inputs it leaves unchecked (orig == 0, an
// empty shard list, a shard shorter than the first one), with the texts of
// failure_text. They take no locks
// beyond the pool's and may run on any thread without the interpreter lock.
#pragma once

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "codec/error.hpp"

namespace ondrel::jam {

using Bytes = std::vector<std::uint8_t>;

// One shard handed to a decode: its bytes, owned by the caller, and its shard
// index (0..orig-1 originals, orig..orig+rec-1 recovery shards).
struct ShardView {
    std::span<const std::uint8_t> bytes;
    std::uint64_t index;
};

// ---- Coding into caller storage ----
//
// Each operation comes in two steps. The plan checks, in the operation's own
// order, everything the operation can fail on and returns the output sizes; it
// allocates nothing sized by the counts before the counts are valid and does
// no coding, so a caller can run it first (for instance with the interpreter
// lock held) and then provide the storage. The `_into` form repeats the checks,
// so it fails exactly as its plan does, and then writes every byte of the
// outputs, which must have the planned sizes and must not overlap the inputs.

// Length of every shard of an encode of `data_len` bytes.
// Throws InternalFailure failure_text::REMAINDER_BY_ZERO when orig == 0; then
// the codec's error for unsupported counts (UnsupportedShardCount).
[[nodiscard]] codec::Result<std::size_t> plan_encode(std::size_t data_len, std::uint64_t orig, std::uint64_t rec);

// Writes the orig original shards and then the rec recovery shards of `data`
// to shard_outputs[0..orig+rec), each plan_encode(data.size()) bytes long.
[[nodiscard]] codec::Result<void> encode_into(std::span<const std::uint8_t> data, std::uint64_t orig,
                                              std::uint64_t rec, std::span<std::uint8_t* const> shard_outputs);

// encode_into without the coding, for benchmarks that measure the row traffic
// on its own: the same checks, and the rows move exactly as encode_into moves
// them, but the recovery shards receive uncomputed bytes.
[[nodiscard]] codec::Result<void> encode_rows_only_into(std::span<const std::uint8_t> data, std::uint64_t orig,
                                                        std::uint64_t rec,
                                                        std::span<std::uint8_t* const> shard_outputs);

// Length of the padded byte string a decode of `shards` (any sufficient set,
// in any order) returns: orig times the length L of the first shard. Fails as
// one codec pass per word position would, first failure first: an empty list
// (InternalFailure, index out of bounds 0/0), orig == 0 (DIVIDE_BY_ZERO),
// unsupported counts; then, unless L is 0 (which plans 0 bytes), the codec's
// index, duplicate and NotEnoughShards errors of word position 0, and a shard
// shorter than L or an odd L (InternalFailure, index out of bounds).
[[nodiscard]] codec::Result<std::size_t> plan_decode(std::span<const ShardView> shards, std::uint64_t orig,
                                                     std::uint64_t rec);

// Writes the padded byte string (plan_decode bytes) to `out`.
[[nodiscard]] codec::Result<void> decode_into(std::span<const ShardView> shards, std::uint64_t orig,
                                              std::uint64_t rec, std::uint8_t* out);

// Checks a batch of `segment_count` segments. Starts the worker pool first, so
// that a pool that cannot start is reported before anything else, even for an
// empty batch; then checks nothing more for an empty batch, else what
// plan_encode checks (the counts are shared, so every segment would fail
// alike). Each segment's shards are then plan_encode(its size) bytes long.
[[nodiscard]] codec::Result<void> plan_multi_encode(std::size_t segment_count, std::uint64_t orig,
                                                    std::uint64_t rec);

// Encodes every segment as encode_into would, in parallel on the process-wide
// worker pool; shard k of segment s goes to shard_outputs[s * (orig + rec) + k].
// Consecutive segments whose shards are shorter than 64 bytes share codec
// passes (the output is the same bytes).
[[nodiscard]] codec::Result<void> multi_encode_into(std::span<const std::span<const std::uint8_t>> segments,
                                                    std::uint64_t orig, std::uint64_t rec,
                                                    std::span<std::uint8_t* const> shard_outputs);

// Bytes per shard that one codec pass covers when encoding (decode == false)
// or decoding with these counts, for shards at least that long: about 1 MiB of
// the encoder's or the decoder's work buffer, a multiple of 64. Exposed so
// that benchmarks can code the same tiles. Precondition: supported counts.
[[nodiscard]] std::size_t tile_bytes(std::uint64_t orig, std::uint64_t rec, bool decode) noexcept;

}  // namespace ondrel::jam
