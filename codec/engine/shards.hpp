// Shard storage in engine layout.
//
// A chunk is 64 bytes holding 32 field elements: element j has its low byte at
// chunk byte j and its high byte at chunk byte 32 + j. A shard of B bytes
// (B even, non-zero) occupies ceil(B / 64) consecutive chunks. Whole 64-byte
// blocks of a caller's shard are stored as they stand; a tail of t = B mod 64
// bytes is split in the middle: its first t/2 bytes go to chunk bytes
// 0..t/2-1 (low bytes) and its last t/2 bytes to chunk bytes 32..32+t/2-1
// (high bytes). This mapping decides which element each byte pair forms and so
// is part of the coding format.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <new>
#include <span>
#include <utility>
#include <vector>

namespace ondrel::engine {

inline constexpr std::size_t CHUNK_BYTES = 64;

// One 64-byte unit of engine work. Byte-aligned on purpose: kernels use
// unaligned loads, so views may start at any address.
struct Chunk {
    std::uint8_t bytes[CHUNK_BYTES];
};
static_assert(sizeof(Chunk) == CHUNK_BYTES && alignof(Chunk) == 1);

// Allocator that places chunk storage on cache-line boundaries.
template <class T>
struct CacheAlignedAllocator {
    using value_type = T;
    CacheAlignedAllocator() = default;
    template <class U>
    CacheAlignedAllocator(const CacheAlignedAllocator<U>&) noexcept {}
    T* allocate(std::size_t n) {
        return static_cast<T*>(::operator new(n * sizeof(T), std::align_val_t{CHUNK_BYTES}));
    }
    void deallocate(T* p, std::size_t) noexcept { ::operator delete(p, std::align_val_t{CHUNK_BYTES}); }
    template <class U>
    bool operator==(const CacheAlignedAllocator<U>&) const noexcept {
        return true;
    }
};

// ceil(shard_bytes / 64): chunks per shard.
[[nodiscard]] constexpr std::size_t shard_len_64_for(std::size_t shard_bytes) noexcept {
    return (shard_bytes + CHUNK_BYTES - 1) / CHUNK_BYTES;
}

// Mutable view of `shard_count` shards of `shard_len_64` chunks each, stored
// back to back. Borrows the chunks for one operation; it must not outlive the
// storage it views. Every index and range is checked: a violation is a broken
// invariant and throws InternalFailure.
class ShardsRefMut {
public:
    ShardsRefMut() = default;
    // Precondition: data.size() == shard_count * shard_len_64.
    ShardsRefMut(std::span<Chunk> data, std::size_t shard_count, std::size_t shard_len_64);

    [[nodiscard]] std::size_t shard_count() const noexcept { return shard_count_; }
    [[nodiscard]] std::size_t shard_len_64() const noexcept { return shard_len_64_; }
    [[nodiscard]] std::span<Chunk> data() const noexcept { return data_; }

    // The chunks of shard s.
    [[nodiscard]] std::span<Chunk> shard(std::size_t s) const {
        if (s >= shard_count_) [[unlikely]]
            shard_index_failure(s);
        return data_.subspan(s * shard_len_64_, shard_len_64_);
    }
    // The chunks of shards first..first+count-1, as one flat run.
    [[nodiscard]] std::span<Chunk> shards(std::size_t first, std::size_t count) const;

    // Views over shards 0..mid-1 and mid..shard_count-1 of the same chunks.
    [[nodiscard]] std::pair<ShardsRefMut, ShardsRefMut> split_at(std::size_t mid) const;

    // Sets every byte of shards begin..end-1 to 0.
    void zero(std::size_t begin, std::size_t end) const;

    // Copies `count` shards starting at `source` onto `count` shards starting
    // at `destination`; overlapping ranges behave as a move.
    void copy_within(std::size_t source, std::size_t destination, std::size_t count) const;

    // Two disjoint runs: shards x..x+count-1 and y..y+count-1 (x may lie on
    // either side of y). The ranges must not overlap.
    [[nodiscard]] std::pair<std::span<Chunk>, std::span<Chunk>> flat2_mut(std::size_t x, std::size_t y,
                                                                          std::size_t count) const;

    // Undoes the tail split of Shards::insert for shards begin..end-1: moves
    // chunk bytes 32..32+h-1 of the shard's last (partial) chunk to bytes h..2h-1,
    // where h = (shard_bytes mod 64) / 2. Does nothing when shard_bytes is a
    // multiple of 64. Afterwards the first shard_bytes bytes of each shard are
    // in the caller's byte order.
    void undo_last_chunk_encoding(std::size_t shard_bytes, std::size_t begin, std::size_t end) const;

private:
    [[noreturn]] void shard_index_failure(std::size_t s) const;

    std::span<Chunk> data_{};
    std::size_t shard_count_ = 0;
    std::size_t shard_len_64_ = 0;
};

// Owning shard storage. The allocation only ever grows: `resize` keeps the
// capacity for reuse, so a reused encoder or decoder does not reallocate.
class Shards {
public:
    Shards() = default;

    // Lays out shard_count shards of shard_len_64 chunks. Chunks that stay keep
    // their bytes (also across moved shard boundaries); added chunks are zero.
    void resize(std::size_t shard_count, std::size_t shard_len_64);

    // Writes a caller's shard (even length, at most 64 * shard_len_64 bytes)
    // at position `index` in engine layout. Bytes of the shard's chunks outside
    // what the shard maps to are left as they were.
    void insert(std::size_t index, std::span<const std::uint8_t> shard);

    // The chunks of shard s as 64 * shard_len_64 bytes; valid until the next
    // resize.
    [[nodiscard]] std::span<const std::uint8_t> shard_bytes(std::size_t s) const;

    // The mutable view over all shards; valid until the next resize.
    [[nodiscard]] ShardsRefMut view_mut();

    [[nodiscard]] std::size_t shard_count() const noexcept { return shard_count_; }
    [[nodiscard]] std::size_t shard_len_64() const noexcept { return shard_len_64_; }
    [[nodiscard]] std::size_t capacity_chunks() const noexcept { return data_.capacity(); }

private:
    std::vector<Chunk, CacheAlignedAllocator<Chunk>> data_;
    std::size_t shard_count_ = 0;
    std::size_t shard_len_64_ = 0;
};

}  // namespace ondrel::engine
