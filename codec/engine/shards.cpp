#include "codec/engine/shards.hpp"

#include <cstring>
#include <string>

#include "codec/engine/failure.hpp"

namespace ondrel::engine {

namespace {

[[noreturn]] void out_of_range(const char* what, std::size_t index, std::size_t len) {
    internal_failure(std::string(what) + " out of range: " + std::to_string(index) + " > " +
                     std::to_string(len));
}

void check_range(std::size_t begin, std::size_t end, std::size_t count) {
    if (begin > end) out_of_range("shard range start", begin, end);
    if (end > count) out_of_range("shard range end", end, count);
}

}  // namespace

ShardsRefMut::ShardsRefMut(std::span<Chunk> data, std::size_t shard_count, std::size_t shard_len_64)
    : data_(data), shard_count_(shard_count), shard_len_64_(shard_len_64) {
    ensure(data.size() == shard_count * shard_len_64, failure_text::SHORT_STORAGE);
}

void ShardsRefMut::shard_index_failure(std::size_t s) const {
    internal_failure(failure_text::index_out_of_bounds(shard_count_, s));
}

std::span<Chunk> ShardsRefMut::shards(std::size_t first, std::size_t count) const {
    check_range(first, first + count, shard_count_);
    return data_.subspan(first * shard_len_64_, count * shard_len_64_);
}

std::pair<ShardsRefMut, ShardsRefMut> ShardsRefMut::split_at(std::size_t mid) const {
    if (mid > shard_count_) out_of_range("split point", mid, shard_count_);
    const std::size_t split = mid * shard_len_64_;
    return {ShardsRefMut(data_.first(split), mid, shard_len_64_),
            ShardsRefMut(data_.subspan(split), shard_count_ - mid, shard_len_64_)};
}

void ShardsRefMut::zero(std::size_t begin, std::size_t end) const {
    check_range(begin, end, shard_count_);
    if (begin == end) return;
    std::memset(data_.data() + begin * shard_len_64_, 0, (end - begin) * shard_len_64_ * CHUNK_BYTES);
}

void ShardsRefMut::copy_within(std::size_t source, std::size_t destination, std::size_t count) const {
    check_range(source, source + count, shard_count_);
    check_range(destination, destination + count, shard_count_);
    if (count == 0) return;
    std::memmove(data_.data() + destination * shard_len_64_, data_.data() + source * shard_len_64_,
                 count * shard_len_64_ * CHUNK_BYTES);
}

std::pair<std::span<Chunk>, std::span<Chunk>> ShardsRefMut::flat2_mut(std::size_t x, std::size_t y,
                                                                      std::size_t count) const {
    check_range(x, x + count, shard_count_);
    check_range(y, y + count, shard_count_);
    ensure(x + count <= y || y + count <= x, "flat2_mut: overlapping shard ranges");
    return {data_.subspan(x * shard_len_64_, count * shard_len_64_),
            data_.subspan(y * shard_len_64_, count * shard_len_64_)};
}

void ShardsRefMut::undo_last_chunk_encoding(std::size_t shard_bytes, std::size_t begin,
                                            std::size_t end) const {
    check_range(begin, end, shard_count_);
    const std::size_t tail = shard_bytes % CHUNK_BYTES;
    if (tail == 0) return;
    const std::size_t half = tail / 2;
    const std::size_t last = shard_bytes / CHUNK_BYTES;
    ensure(last < shard_len_64_, "undo_last_chunk_encoding: shard_bytes beyond the shard");
    for (std::size_t s = begin; s < end; ++s) {
        std::uint8_t* chunk = data_[s * shard_len_64_ + last].bytes;
        // The areas overlap when half > 16.
        std::memmove(chunk + half, chunk + 32, half);
    }
}

void Shards::resize(std::size_t shard_count, std::size_t shard_len_64) {
    shard_count_ = shard_count;
    shard_len_64_ = shard_len_64;
    // vector::resize value-initialises (zeroes) only the added chunks and keeps
    // the capacity on a shrink.
    data_.resize(shard_count * shard_len_64);
}

void Shards::insert(std::size_t index, std::span<const std::uint8_t> shard) {
    if (index >= shard_count_) {
        internal_failure(failure_text::index_out_of_bounds(shard_count_, index));
    }
    ensure(shard.size() % 2 == 0, failure_text::ODD_SHARD_BYTES);
    ensure(shard.size() <= shard_len_64_ * CHUNK_BYTES, "insert: shard longer than its storage");
    std::uint8_t* dst = data_[index * shard_len_64_].bytes;
    const std::size_t whole = shard.size() / CHUNK_BYTES * CHUNK_BYTES;
    if (whole > 0) std::memcpy(dst, shard.data(), whole);
    const std::size_t half = (shard.size() - whole) / 2;
    if (half > 0) {
        std::memcpy(dst + whole, shard.data() + whole, half);
        std::memcpy(dst + whole + 32, shard.data() + whole + half, half);
    }
}

std::span<const std::uint8_t> Shards::shard_bytes(std::size_t s) const {
    if (s >= shard_count_) {
        internal_failure(failure_text::index_out_of_bounds(shard_count_, s));
    }
    const auto* base = reinterpret_cast<const std::uint8_t*>(data_.data() + s * shard_len_64_);
    return {base, shard_len_64_ * CHUNK_BYTES};
}

ShardsRefMut Shards::view_mut() {
    ensure(data_.size() >= shard_count_ * shard_len_64_,
           failure_text::SHORT_STORAGE);
    return ShardsRefMut(std::span<Chunk>(data_).first(shard_count_ * shard_len_64_), shard_count_,
                        shard_len_64_);
}

}  // namespace ondrel::engine
