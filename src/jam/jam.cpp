// Segment coding, batched: 32 word positions share one codec pass.
//
// The shard layout is defined word by word (one codec pass per 2-byte word
// position). Because the codec treats element positions independently and
// stores a whole 64-byte block of a shard as one chunk, transposing 32 words
// of every shard into one block and running the codec on shards of 64 * t
// bytes yields exactly the bytes of 32 * t separate passes. Word positions are
// coded in tiles of t blocks so that the codec's work buffer stays near
// TILE_BUDGET_BYTES whatever the segment size (encode tiles are at least
// MIN_ENCODE_ROW_BYTES wide); one encoder or decoder serves every tile
// through reset.
#include "src/jam/jam.hpp"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>

#include "codec/engine/failure.hpp"
#include "codec/rate/rate_default.hpp"
#include "codec/reed_solomon.hpp"
#include "parallel/pool.hpp"
#include "src/jam/layout.hpp"

namespace ondrel::jam {

namespace {

using codec::Error;
using codec::ReedSolomonDecoder;
using codec::ReedSolomonEncoder;

// Work-buffer size one tile aims at: large enough to amortise the per-pass
// overhead and to give every row visit a long run of bytes, small enough to
// stay in L2 and to bound memory for huge segments. Measured over
// 256 KiB..4 MiB (jam_perf, 16 MiB segments): 256 KiB slows the (342, 681)
// encode, 2 MiB and more slow both; 512 KiB..1 MiB are level.
constexpr std::size_t TILE_BUDGET_BYTES = std::size_t{1} << 20;

// Bytes of every row an encode tile covers at least, even where the work
// buffer then outgrows the budget. An encode writes orig + rec rows a tile
// width at a time, and each visit of a row costs a new write stream; the
// transforms run as fast from L3 as from L2. Measured on (342, 681), 16 MiB
// (jam_perf, best of 6 rounds): 1 KiB (the budget's width, 1 MiB of work)
// 9.3 ms, 2 KiB 8.6 ms, 4 KiB 8.4 ms. Decoding, whose formal derivative is
// bound by cache bandwidth, and pairs whose budget already gives wider tiles
// only slowed down with a larger budget.
constexpr std::size_t MIN_ENCODE_ROW_BYTES = 2048;

// Which work the segment layer sizes tiles for.
enum class Coding {
    encode,
    decode,
};

// Shards in the codec's work buffer for these counts, which decides how many
// blocks fit the budget.
std::size_t work_shards(std::size_t orig, std::size_t rec, Coding coding) noexcept {
    return coding == Coding::encode ? codec::encoder_work_count(orig, rec) : codec::decoder_work_count(orig, rec);
}

// Blocks that hold `bytes` bytes of a shard (the last one may be partial).
std::size_t blocks_in(std::size_t bytes) noexcept { return (bytes + BLOCK_BYTES - 1) / BLOCK_BYTES; }

// Blocks per tile that keep the work buffer within the budget (at least one).
std::size_t budget_blocks(std::size_t orig, std::size_t rec, Coding coding) noexcept {
    const std::size_t per_block = work_shards(orig, rec, coding) * BLOCK_BYTES;
    return std::max<std::size_t>(1, TILE_BUDGET_BYTES / per_block);
}

std::size_t tile_blocks(std::size_t orig, std::size_t rec, Coding coding, std::size_t total_blocks) noexcept {
    std::size_t blocks = budget_blocks(orig, rec, coding);
    if (coding == Coding::encode) blocks = std::max(blocks, MIN_ENCODE_ROW_BYTES / BLOCK_BYTES);
    return std::min(blocks, total_blocks);
}

// Reads the 64-byte block `block` of a shard of `shard_len` bytes starting at
// `shard` in a buffer of which only `available` bytes (from `shard` on) exist;
// the rest reads as zero padding. Writes the block in chunk layout to `out`.
void load_block(const std::uint8_t* shard, std::size_t available, std::size_t shard_len, std::size_t block,
                std::uint8_t* out) noexcept {
    const std::size_t offset = block * BLOCK_BYTES;
    const std::size_t count = std::min(BLOCK_BYTES, shard_len - offset);
    const std::size_t present = available > offset ? std::min(count, available - offset) : 0;
    if (present == count) {
        words_to_block(shard + offset, count, out);
    } else {
        std::uint8_t padded[BLOCK_BYTES] = {};
        if (present > 0) std::memcpy(padded, shard + offset, present);
        words_to_block(padded, count, out);
    }
}

// Writes block `block` of a shard of `shard_len` bytes from chunk layout.
void store_block(const std::uint8_t* chunk, std::size_t shard_len, std::size_t block, std::uint8_t* shard) noexcept {
    const std::size_t offset = block * BLOCK_BYTES;
    block_to_words(chunk, std::min(BLOCK_BYTES, shard_len - offset), shard + offset);
}

// A tile: word blocks [first, first + count), which are bytes [begin, end)
// of every shard; `last` when it reaches the end of the shards.
struct Tile {
    std::size_t first;
    std::size_t count;
    std::size_t begin;
    std::size_t end;
    bool last;
};

// The rows of a tile lie a shard length apart, each in pages of its own,
// where the hardware prefetchers do not follow; without help every row would
// start with a full memory latency, and every page with a page walk. The row
// PREFETCH_ROWS ahead is requested while the current one is converted, and
// so are the output rows: the page walks then overlap the work on the rows
// before them (1,023 rows of a (342, 681) encode touch 1,023 pages per tile).
constexpr std::size_t PREFETCH_ROWS = 16;

// Requests the lines of bytes [begin, end) of a row for reading, into L2: a
// request for L1 holds one of the core's few L1 miss buffers until its line
// arrives, and with hundreds of lines requested ahead the loop stalled on
// them. (342, 681), 16 MiB, jam_perf EncodeRowTrafficOnly on Zen 4: 4.2 ms
// with L1 requests, 3.3 ms with L2 requests. Always inlined: g++ counts a
// prefetch as no side effect, so a call of an out-of-line function that only
// prefetches is dropped as pure.
[[gnu::always_inline]] inline void prefetch_row(const std::uint8_t* row, std::size_t begin, std::size_t end) noexcept {
    const auto first = reinterpret_cast<std::uintptr_t>(row + begin) & ~std::uintptr_t{63};
    const auto last = reinterpret_cast<std::uintptr_t>(row + end);
    for (std::uintptr_t at = first; at < last; at += 64) __builtin_prefetch(reinterpret_cast<const void*>(at), 0, 2);
}

// Starts the page walks for bytes [begin, end) of a row that is about to be
// written with non-temporal stores: one request, not kept in cache, for the
// first line and for the first line of every page that starts inside. The
// stores themselves bring no line in. jam_perf EncodeRowTrafficOnly (342,
// 681): 4.2 -> 3.3 ms with the rows PREFETCH_ROWS ahead of the writes.
// Inlined for the reason given at prefetch_row.
[[gnu::always_inline]] inline void prefetch_pages(const std::uint8_t* row, std::size_t begin,
                                                  std::size_t end) noexcept {
    constexpr std::uintptr_t PAGE = 4096;
    __builtin_prefetch(row + begin, 0, 0);
    const auto last = reinterpret_cast<std::uintptr_t>(row + end);
    for (auto at = (reinterpret_cast<std::uintptr_t>(row + begin) + PAGE) & ~(PAGE - 1); at < last; at += PAGE) {
        __builtin_prefetch(reinterpret_cast<const void*>(at), 0, 0);
    }
}

// Runs fn on the tiles of `tile` blocks (the last one shorter) that cover
// shards of shard_len bytes, in order, until one fails.
template <class Fn>
[[nodiscard]] codec::Result<void> for_each_tile(std::size_t shard_len, std::size_t tile, Fn&& fn) {
    const std::size_t total_blocks = blocks_in(shard_len);
    for (std::size_t first = 0; first < total_blocks; first += tile) {
        const std::size_t count = std::min(tile, total_blocks - first);
        const std::size_t end = std::min(shard_len, (first + count) * BLOCK_BYTES);
        auto done = fn(Tile{first, count, first * BLOCK_BYTES, end, end == shard_len});
        if (!done) return std::unexpected(done.error());
    }
    return {};
}

// A row that a tile reads: `bytes` of which the first `available` exist; the
// rest of the shard reads as zero padding.
struct SourceRow {
    const std::uint8_t* bytes;
    std::size_t available;
};

// Converts tile t of rows 0..count-1 (row_at(i) is row i) one after another
// into chunk layout at `piece` and calls add(i, row) after each, stopping at
// the first failure. The row PREFETCH_ROWS ahead is requested while one is
// converted.
template <class RowAt, class Add>
[[nodiscard]] codec::Result<void> gather_rows(const Tile& t, std::size_t shard_len, std::size_t count, RowAt&& row_at,
                                              std::uint8_t* piece, Add&& add) {
    const LayoutKernels& layout = layout_kernels();
    for (std::size_t i = 0; i < std::min(count, PREFETCH_ROWS); ++i) {
        const SourceRow row = row_at(i);
        prefetch_row(row.bytes, t.begin, std::min(t.end, row.available));
    }
    for (std::size_t i = 0; i < count; ++i) {
        if (i + PREFETCH_ROWS < count) {
            const SourceRow ahead = row_at(i + PREFETCH_ROWS);
            prefetch_row(ahead.bytes, t.begin, std::min(t.end, ahead.available));
        }
        const SourceRow row = row_at(i);
        if (row.available >= t.end) {
            layout.words_to_blocks(row.bytes + t.begin, t.end - t.begin, piece);
        } else {
            for (std::size_t b = 0; b < t.count; ++b) {
                load_block(row.bytes, row.available, shard_len, t.first + b, piece + b * BLOCK_BYTES);
            }
        }
        if (auto added = add(i, row); !added) return added;
    }
    return {};
}

// Whether encode_shards copies the originals to their output rows and writes
// rows with non-temporal stores (rows handed to the caller), or leaves the
// originals and writes rows that are read back at once (packs).
enum class Rows {
    to_caller,
    read_back,
};

// Computes the rec recovery shards of the orig original shards `sources`, all
// shard_len bytes long, tile by tile with `encoder`, into outputs[orig..);
// with Rows::to_caller the padded originals also go to outputs[0..orig).
// Without CODE the rows move exactly the same way but nothing is coded: the
// recovery rows receive the bytes of a buffer of the encoder's work size
// (encode_rows_only_into).
template <bool CODE = true>
[[nodiscard]] codec::Result<void> encode_shards(ReedSolomonEncoder& encoder, std::size_t orig, std::size_t rec,
                                                std::size_t shard_len, std::span<const SourceRow> sources,
                                                std::span<std::uint8_t* const> outputs, Rows rows) {
    const std::size_t tile = tile_blocks(orig, rec, Coding::encode, blocks_in(shard_len));
    const bool to_caller = rows == Rows::to_caller;
    const LayoutKernels& layout = layout_kernels();
    Bytes buffer(tile * BLOCK_BYTES);
    Bytes padded(to_caller ? tile * BLOCK_BYTES : 0);
    Bytes uncoded(CODE ? 0 : work_shards(orig, rec, Coding::encode) * tile * BLOCK_BYTES);
    std::vector<RowStream> streams(to_caller ? orig + rec : 0);
    return for_each_tile(shard_len, tile, [&](const Tile& t) -> codec::Result<void> {
        if (auto reset = encoder.reset(orig, rec, t.count * BLOCK_BYTES); !reset) return reset;
        const std::span<const std::uint8_t> piece(buffer.data(), t.count * BLOCK_BYTES);
        const std::size_t bytes = t.end - t.begin;
        const auto row_at = [&](std::size_t j) { return sources[j]; };
        // Output k (originals first, then recovery rows) is about to be written.
        const auto writing = [&](std::size_t k) {
            if (k + PREFETCH_ROWS < orig + rec) prefetch_pages(outputs[k + PREFETCH_ROWS], t.begin, t.end);
        };
        const auto add = [&](std::size_t j, const SourceRow& source) {
            if (to_caller) {
                writing(j);
                if (source.available >= t.end) {
                    layout.copy_streamed(source.bytes + t.begin, bytes, streams[j], outputs[j], t.begin, t.last);
                } else {
                    const std::size_t present = source.available > t.begin ? source.available - t.begin : 0;
                    if (present > 0) std::memcpy(padded.data(), source.bytes + t.begin, present);
                    std::memset(padded.data() + present, 0, bytes - present);
                    streams[j].append(outputs[j], t.begin, padded.data(), bytes, t.last);
                }
            }
            if constexpr (!CODE) return codec::Result<void>{};
            return encoder.add_original_shard(piece);
        };
        if (auto gathered = gather_rows(t, shard_len, orig, row_at, buffer.data(), add); !gathered) return gathered;
        std::optional<codec::EncoderResult> result;
        if constexpr (CODE) {
            auto encoded = encoder.encode();
            if (!encoded) return std::unexpected(encoded.error());
            result.emplace(std::move(*encoded));
        }
        std::optional<codec::Recovery> recovery;
        if (result) recovery.emplace(result->recovery_iter());
        for (std::size_t r = 0; r < rec; ++r) {
            const std::optional<std::span<const std::uint8_t>> chunks =
                recovery ? recovery->next()
                         : std::span<const std::uint8_t>(uncoded).subspan(r * t.count * BLOCK_BYTES,
                                                                          t.count * BLOCK_BYTES);
            ensure(chunks.has_value(), "encode: recovery shard missing");
            if (to_caller) {
                writing(orig + r);
                layout.blocks_to_words_streamed(chunks->data(), bytes, streams[orig + r], outputs[orig + r], t.begin,
                                                t.last);
            } else {
                for (std::size_t b = 0; b < t.count; ++b) {
                    store_block(chunks->data() + b * BLOCK_BYTES, shard_len, t.first + b, outputs[orig + r]);
                }
            }
        }
        return {};
    });
}

[[noreturn]] void index_failure(std::size_t len, std::size_t index) {
    internal_failure(failure_text::index_out_of_bounds(len, index));
}

// The failure the word-by-word decode reports first, found before any coding.
// Word position 0 checks every shard in list order (its length, then what the
// codec says about its index); its decode reports too few shards. A later
// position can only fail on a shard that is too short, and the earliest such
// position wins, the first shard in list order within it.
[[nodiscard]] codec::Result<void> check_shard_set(std::span<const ShardView> shards, std::size_t orig,
                                                  std::size_t rec, std::size_t len) {
    std::vector<bool> seen(orig + rec, false);
    std::size_t originals = 0;
    std::size_t recoveries = 0;
    for (const ShardView& shard : shards) {
        const std::size_t size = shard.bytes.size();
        if (size == 0) index_failure(0, 0);
        if (size == 1) index_failure(1, 1);
        if (shard.index >= orig) {
            const std::uint64_t r = shard.index - orig;
            if (r >= rec) return std::unexpected(Error::invalid_recovery_shard_index(rec, r));
            if (seen[orig + r]) return std::unexpected(Error::duplicate_recovery_shard_index(r));
            seen[orig + r] = true;
            ++recoveries;
        } else {
            if (seen[shard.index]) return std::unexpected(Error::duplicate_original_shard_index(shard.index));
            seen[shard.index] = true;
            ++originals;
        }
    }
    if (originals + recoveries < orig) {
        return std::unexpected(Error::not_enough_shards(orig, originals, recoveries));
    }
    // A shard of length s first fails at the even position s & ~1 (with index s).
    const ShardView* first_short = nullptr;
    std::size_t fail_at = len;
    for (const ShardView& shard : shards) {
        const std::size_t at = shard.bytes.size() & ~std::size_t{1};
        if (at < fail_at) {
            fail_at = at;
            first_short = &shard;
        }
    }
    if (first_short != nullptr) index_failure(first_short->bytes.size(), first_short->bytes.size());
    return {};
}

// ---- Batches of small segments ----
//
// Every word position (lane) of a pass is coded on its own, so the lanes of
// one pass need not belong to the same segment. A segment whose shards are
// shorter than one block would leave most lanes of its only block empty;
// consecutive such segments are therefore packed side by side: shard j of a
// pack is the concatenation of shard j of each of its segments, and the
// recovery shards of the pack are cut back at the same offsets.

// Consecutive segments [first, first + count) coded in one pass.
struct Pack {
    std::size_t first;
    std::size_t count;
};

// Groups consecutive segments with shards shorter than one block into packs
// of at most the budget's tile of lanes; every other segment is a pack of its own.
// The counts have been checked.
std::vector<Pack> plan_packs(std::span<const std::span<const std::uint8_t>> segments, std::uint64_t orig,
                             std::uint64_t rec) {
    std::vector<Pack> packs;
    const std::size_t unit = 2 * orig;
    const std::size_t max_lanes = WORDS_PER_BLOCK * budget_blocks(orig, rec, Coding::encode);
    std::size_t lanes = 0;
    bool open = false;  // whether the last pack takes further small segments
    for (std::size_t i = 0; i < segments.size(); ++i) {
        const std::size_t words = (segments[i].size() + unit - 1) / unit;
        const bool small = words < WORDS_PER_BLOCK;
        if (small && open && lanes + words <= max_lanes) {
            ++packs.back().count;
            lanes += words;
        } else {
            packs.push_back({i, 1});
            open = small;
            lanes = words;
        }
    }
    return packs;
}

// Encodes the segments of one pack; shard k of segment i of the pack goes to
// outputs[i * (orig + rec) + k].
[[nodiscard]] codec::Result<void> encode_pack_into(std::span<const std::span<const std::uint8_t>> segments,
                                                   std::uint64_t orig, std::uint64_t rec,
                                                   std::span<std::uint8_t* const> outputs) {
    const std::size_t shard_count = orig + rec;
    if (segments.size() == 1) return encode_into(segments.front(), orig, rec, outputs);
    auto encoder = ReedSolomonEncoder::create(orig, rec, BLOCK_BYTES);
    if (!encoder) return std::unexpected(encoder.error());

    // Byte offset and shard length of every segment within the pack's shards.
    const std::size_t unit = 2 * orig;
    std::vector<std::size_t> offsets(segments.size());
    std::vector<std::size_t> lengths(segments.size());
    std::size_t pack_len = 0;
    for (std::size_t i = 0; i < segments.size(); ++i) {
        offsets[i] = pack_len;
        lengths[i] = (segments[i].size() + unit - 1) / unit * 2;
        pack_len += lengths[i];
    }
    if (pack_len == 0) return {};

    // The pack's shards, one after another in one buffer.
    Bytes pack(pack_len * shard_count, 0);
    std::vector<std::uint8_t*> rows(shard_count);
    std::vector<SourceRow> sources(orig);
    for (std::size_t k = 0; k < shard_count; ++k) rows[k] = pack.data() + k * pack_len;
    for (std::size_t j = 0; j < orig; ++j) sources[j] = {rows[j], pack_len};
    for (std::size_t i = 0; i < segments.size(); ++i) {
        const std::span<const std::uint8_t> data = segments[i];
        for (std::size_t j = 0; j < orig; ++j) {
            const std::size_t from = j * lengths[i];
            if (from >= data.size()) break;
            std::memcpy(rows[j] + offsets[i], data.data() + from, std::min(lengths[i], data.size() - from));
        }
    }
    if (auto coded = encode_shards(*encoder, orig, rec, pack_len, sources, rows, Rows::read_back); !coded) {
        return coded;
    }

    for (std::size_t i = 0; i < segments.size(); ++i) {
        if (lengths[i] == 0) continue;
        for (std::size_t k = 0; k < shard_count; ++k) {
            std::memcpy(outputs[i * shard_count + k], rows[k] + offsets[i], lengths[i]);
        }
    }
    return {};
}

}  // namespace

std::size_t tile_bytes(std::uint64_t orig, std::uint64_t rec, bool decode) noexcept {
    return tile_blocks(orig, rec, decode ? Coding::decode : Coding::encode, SIZE_MAX) * BLOCK_BYTES;
}

codec::Result<std::size_t> plan_encode(std::size_t data_len, std::uint64_t orig, std::uint64_t rec) {
    if (orig * 2 == 0) internal_failure(failure_text::REMAINDER_BY_ZERO);
    // The rule ReedSolomonEncoder::create applies, with the same error; 64-byte
    // codec shards are always a valid size.
    if (auto rate = codec::choose_rate(orig, rec); !rate) return std::unexpected(rate.error());
    const std::size_t unit = 2 * orig;
    return (data_len + unit - 1) / unit * 2;
}

namespace {

template <bool CODE>
codec::Result<void> encode_rows_into(std::span<const std::uint8_t> data, std::uint64_t orig, std::uint64_t rec,
                                     std::span<std::uint8_t* const> shard_outputs) {
    const auto planned = plan_encode(data.size(), orig, rec);
    if (!planned) return std::unexpected(planned.error());
    const std::size_t shard_len = *planned;
    ensure(shard_outputs.size() == orig + rec, "encode_into: wrong number of shard outputs");
    if (shard_len == 0) return {};
    auto encoder = ReedSolomonEncoder::create(orig, rec, BLOCK_BYTES);
    if (!encoder) return std::unexpected(encoder.error());

    // Original j is bytes j * shard_len .. of the data, zero-padded.
    const std::size_t n = data.size();
    std::vector<SourceRow> sources(orig);
    for (std::size_t j = 0; j < orig; ++j) {
        const std::size_t offset = j * shard_len;
        sources[j] = {data.data() + std::min(offset, n), offset < n ? std::min(shard_len, n - offset) : 0};
    }
    auto coded = encode_shards<CODE>(*encoder, orig, rec, shard_len, sources, shard_outputs, Rows::to_caller);
    store_fence();
    return coded;
}

}  // namespace

codec::Result<void> encode_into(std::span<const std::uint8_t> data, std::uint64_t orig, std::uint64_t rec,
                                std::span<std::uint8_t* const> shard_outputs) {
    return encode_rows_into<true>(data, orig, rec, shard_outputs);
}

codec::Result<void> encode_rows_only_into(std::span<const std::uint8_t> data, std::uint64_t orig, std::uint64_t rec,
                                          std::span<std::uint8_t* const> shard_outputs) {
    return encode_rows_into<false>(data, orig, rec, shard_outputs);
}

codec::Result<std::size_t> plan_decode(std::span<const ShardView> shards, std::uint64_t orig, std::uint64_t rec) {
    if (shards.empty()) index_failure(0, 0);
    const std::size_t len = shards.front().bytes.size();
    if (orig * 2 == 0) internal_failure(failure_text::DIVIDE_BY_ZERO);
    // The rule ReedSolomonDecoder::create applies, with the same error.
    if (auto rate = codec::choose_rate(orig, rec); !rate) return std::unexpected(rate.error());
    if (len == 0) return 0;
    if (auto checked = check_shard_set(shards, orig, rec, len); !checked) return std::unexpected(checked.error());
    return orig * len;
}

namespace {

// Decodes the originals missing from `shards` (checked), whose indices are
// `missing` in increasing order, tile by tile and appends them to their rows
// of `out` through `streams`.
[[nodiscard]] codec::Result<void> decode_missing(std::span<const ShardView> shards, std::uint64_t orig,
                                                 std::uint64_t rec, std::size_t len, std::uint8_t* out,
                                                 std::span<RowStream> streams, std::span<const std::size_t> missing) {
    auto decoder = ReedSolomonDecoder::create(orig, rec, BLOCK_BYTES);
    if (!decoder) return std::unexpected(decoder.error());
    const std::size_t tile = tile_blocks(orig, rec, Coding::decode, blocks_in(len));
    Bytes buffer(tile * BLOCK_BYTES);
    const LayoutKernels& layout = layout_kernels();
    return for_each_tile(len, tile, [&](const Tile& t) -> codec::Result<void> {
        if (auto reset = decoder->reset(orig, rec, t.count * BLOCK_BYTES); !reset) return reset;
        const std::span<const std::uint8_t> piece(buffer.data(), t.count * BLOCK_BYTES);
        const auto row_at = [&](std::size_t i) { return SourceRow{shards[i].bytes.data(), len}; };
        const auto add = [&](std::size_t i, const SourceRow&) {
            const ShardView& shard = shards[i];
            return shard.index < orig ? decoder->add_original_shard(shard.index, piece)
                                      : decoder->add_recovery_shard(shard.index - orig, piece);
        };
        if (auto gathered = gather_rows(t, len, shards.size(), row_at, buffer.data(), add); !gathered) return gathered;
        auto result = decoder->decode();
        if (!result) return std::unexpected(result.error());
        // Restored in increasing index order, the order of `missing`.
        auto restored = result->restored_original_iter();
        for (std::size_t k = 0; auto next = restored.next(); ++k) {
            const auto& [index, chunks] = *next;
            if (k + PREFETCH_ROWS < missing.size()) {
                prefetch_pages(out + missing[k + PREFETCH_ROWS] * len, t.begin, t.end);
            }
            layout.blocks_to_words_streamed(chunks.data(), t.end - t.begin, streams[index], out + index * len,
                                            t.begin, t.last);
        }
        return {};
    });
}

}  // namespace

codec::Result<void> decode_into(std::span<const ShardView> shards, std::uint64_t orig, std::uint64_t rec,
                                std::uint8_t* out) {
    const auto planned = plan_decode(shards, orig, rec);
    if (!planned) return std::unexpected(planned.error());
    if (*planned == 0) return {};
    const std::size_t len = shards.front().bytes.size();

    // Given originals go straight to the output; only missing ones are
    // decoded. Output rows are written as RowStream writes them (a row's
    // lines are completed across tiles), so fence before returning.
    const LayoutKernels& layout = layout_kernels();
    std::vector<RowStream> streams(orig);
    std::vector<bool> present(orig, false);
    for (const ShardView& shard : shards) {
        if (shard.index < orig) {
            layout.copy_streamed(shard.bytes.data(), len, streams[shard.index], out + shard.index * len, 0, true);
            present[shard.index] = true;
        }
    }
    std::vector<std::size_t> missing;
    for (std::size_t j = 0; j < orig; ++j) {
        if (!present[j]) missing.push_back(j);
    }
    if (missing.empty()) {
        store_fence();
        return {};
    }
    auto decoded = decode_missing(shards, orig, rec, len, out, streams, missing);
    store_fence();
    return decoded;
}

codec::Result<void> plan_multi_encode(std::size_t segment_count, std::uint64_t orig, std::uint64_t rec) {
    // The pool starts (or reports that it cannot) before anything is checked,
    // even for an empty batch.
    static_cast<void>(parallel::current_num_threads());
    if (segment_count == 0) return {};
    auto planned = plan_encode(0, orig, rec);
    if (!planned) return std::unexpected(planned.error());
    return {};
}

codec::Result<void> multi_encode_into(std::span<const std::span<const std::uint8_t>> segments, std::uint64_t orig,
                                      std::uint64_t rec, std::span<std::uint8_t* const> shard_outputs) {
    if (auto planned = plan_multi_encode(segments.size(), orig, rec); !planned) return planned;
    if (segments.empty()) return {};
    const std::size_t shard_count = orig + rec;
    ensure(shard_outputs.size() / shard_count == segments.size() && shard_outputs.size() % shard_count == 0,
           "multi_encode_into: wrong number of shard outputs");

    const std::vector<Pack> packs = plan_packs(segments, orig, rec);
    std::mutex error_mutex;
    std::optional<Error> error;
    std::atomic<bool> stop{false};
    struct Done {};
    auto encode_one = [&](const Pack& pack) -> std::optional<Done> {
        auto coded = encode_pack_into(segments.subspan(pack.first, pack.count), orig, rec,
                                      shard_outputs.subspan(pack.first * shard_count, pack.count * shard_count));
        if (coded) return Done{};
        // Only the first error stored in time is kept; a busy slot means
        // another pack is storing one right now.
        if (std::unique_lock lock(error_mutex, std::try_to_lock); lock && !error) error = coded.error();
        stop.store(true, std::memory_order_release);
        return std::nullopt;
    };
    static_cast<void>(parallel::ordered_map(std::span<const Pack>(packs), encode_one, stop));
    if (error) return std::unexpected(*error);
    return {};
}

}  // namespace ondrel::jam
