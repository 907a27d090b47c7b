// The literal word-by-word segment coding: one codec pass per 2-byte word
// position with 2-byte shards. Kept only as the oracle that the batched
// segment layer is compared against.
#pragma once

#include <cstring>
#include <string>
#include <variant>

#include "codec/engine/failure.hpp"
#include "codec/reed_solomon.hpp"
#include "src/jam/jam.hpp"

namespace ondrel::jam {

// One shard handed to the word road's decode: its bytes and its shard index.
struct IndexedShard {
    Bytes bytes;
    std::uint64_t index;
};

}  // namespace ondrel::jam

namespace ondrel::jam::word_road {

// What an operation ended with: its value, a codec error, or an internal
// failure's text.
template <class T>
using Outcome = std::variant<T, codec::Error, std::string>;

inline Outcome<std::vector<Bytes>> encode(Bytes data, std::uint64_t orig, std::uint64_t rec) {
    if (orig * 2 == 0) return std::string(failure_text::REMAINDER_BY_ZERO);
    auto encoder = codec::ReedSolomonEncoder::create(orig, rec, 2);
    if (!encoder) return encoder.error();
    const std::size_t unit = 2 * orig;
    if (data.size() % unit != 0) data.resize(data.size() + unit - data.size() % unit, 0);
    const std::size_t k = data.size() / unit;
    std::vector<Bytes> shards(orig + rec);
    for (std::size_t p = 0; p < k; ++p) {
        if (auto reset = encoder->reset(orig, rec, 2); !reset) return reset.error();
        for (std::size_t j = 0; j < orig; ++j) {
            const std::uint8_t* word = data.data() + 2 * (j * k + p);
            if (auto added = encoder->add_original_shard(std::span<const std::uint8_t>(word, 2)); !added) {
                return added.error();
            }
            shards[j].insert(shards[j].end(), word, word + 2);
        }
        auto result = encoder->encode();
        if (!result) return result.error();
        auto recovery = result->recovery_iter();
        for (std::size_t r = 0; r < rec; ++r) {
            auto word = recovery.next();
            shards[orig + r].insert(shards[orig + r].end(), word->begin(), word->end());
        }
    }
    return shards;
}

inline std::string index_text(std::size_t len, std::size_t index) {
    return failure_text::index_out_of_bounds(len, index);
}

inline Outcome<Bytes> decode(const std::vector<IndexedShard>& shards, std::uint64_t orig, std::uint64_t rec) {
    if (shards.empty()) return index_text(0, 0);
    const std::size_t len = shards.front().bytes.size();
    if (orig * 2 == 0) return std::string(failure_text::DIVIDE_BY_ZERO);
    auto decoder = codec::ReedSolomonDecoder::create(orig, rec, 2);
    if (!decoder) return decoder.error();
    std::vector<Bytes> out(orig);
    for (std::size_t i = 0; i < len; i += 2) {
        if (auto reset = decoder->reset(orig, rec, 2); !reset) return reset.error();
        for (const IndexedShard& shard : shards) {
            if (i + 1 >= shard.bytes.size()) {
                return index_text(shard.bytes.size(), i >= shard.bytes.size() ? i : i + 1);
            }
            const std::span<const std::uint8_t> word(shard.bytes.data() + i, 2);
            if (shard.index >= orig) {
                if (auto added = decoder->add_recovery_shard(shard.index - orig, word); !added) return added.error();
            } else {
                if (auto added = decoder->add_original_shard(shard.index, word); !added) return added.error();
                out[shard.index].insert(out[shard.index].end(), word.begin(), word.end());
            }
        }
        auto result = decoder->decode();
        if (!result) return result.error();
        auto restored = result->restored_original_iter();
        while (auto next = restored.next()) {
            const auto& [index, word] = *next;
            out[index].insert(out[index].end(), word.begin(), word.end());
        }
    }
    Bytes joined;
    for (const Bytes& shard : out) joined.insert(joined.end(), shard.begin(), shard.end());
    return joined;
}

}  // namespace ondrel::jam::word_road
