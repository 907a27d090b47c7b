// Segment coding: the fixed shard layout that Python callers see.
//
// A byte string is padded with zeros to a multiple of 2 * orig bytes and cut
// into `orig` consecutive original shards of equal length; each 2-byte word
// position of the shards (byte 0 low, byte 1 high) is one code word of `orig`
// original symbols, from which the codec computes `rec` recovery symbols.
//
// All three operations return a codec Error as a value and throw
// ondrel::InternalFailure for the inputs they leave unchecked (orig == 0, an
// empty shard list, a shard shorter than the first one). They take no locks
// beyond the pool's and may run on any thread without the interpreter lock.
#pragma once

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "codec/error.hpp"

namespace ondrel::jam {

using Bytes = std::vector<std::uint8_t>;

// One shard handed to `decode`: its bytes and its shard index
// (0..orig-1 originals, orig..orig+rec-1 recovery shards).
struct IndexedShard {
    Bytes bytes;
    std::uint64_t index;
};

// Encodes `data` into orig original shards followed by rec recovery shards,
// each 2 * ceil(len / (2 * orig)) bytes long. `data` is only read.
// Errors: whatever ReedSolomonEncoder::new reports for (orig, rec, 2), even for
// empty data. Throws InternalFailure "attempt to calculate the remainder with a
// divisor of zero" when orig == 0.
[[nodiscard]] codec::Result<std::vector<Bytes>> encode(std::span<const std::uint8_t> data,
                                                       std::uint64_t orig, std::uint64_t rec);

// Rebuilds the padded byte string (orig * L bytes, L = length of the first
// shard) from any sufficient set of shards, given in any order.
// Errors: the codec's count, index, duplicate and NotEnoughShards errors, as the
// first word position reports them. Throws InternalFailure for an empty list,
// orig == 0, and for a shard shorter than the first or an odd L.
[[nodiscard]] codec::Result<Bytes> decode(std::span<const IndexedShard> shards, std::uint64_t orig,
                                          std::uint64_t rec);

// Encodes every segment as `encode` would, in parallel on the process-wide
// worker pool, and returns the shard lists in segment order, or the first codec
// error stored. An empty list returns an empty result without checking counts.
// Consecutive segments whose shards are shorter than 64 bytes share codec
// passes (the output is the same bytes); failures are those of `encode`, which
// are the same for every segment since the counts are shared.
[[nodiscard]] codec::Result<std::vector<std::vector<Bytes>>> multi_encoder(
    std::span<const Bytes> segments, std::uint64_t orig, std::uint64_t rec);

}  // namespace ondrel::jam
