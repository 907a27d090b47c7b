// Helpers shared by the codec tests: byte strings, random shards, driving a
// whole coding pass through any encoder or decoder type of the codec.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <random>
#include <span>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "codec/engine/engine_default.hpp"
#include "codec/error.hpp"

namespace ondrel::codec::testutil {

using Bytes = std::vector<std::uint8_t>;

// "01 0a ff" -> {0x01, 0x0a, 0xff}.
inline Bytes hex(const std::string& text) {
    Bytes bytes;
    std::istringstream in(text);
    unsigned value = 0;
    while (in >> std::hex >> value) bytes.push_back(static_cast<std::uint8_t>(value));
    return bytes;
}

inline std::vector<Bytes> hex_list(std::initializer_list<const char*> texts) {
    std::vector<Bytes> list;
    for (const char* text : texts) list.push_back(hex(text));
    return list;
}

inline Bytes to_bytes(std::span<const std::uint8_t> view) { return Bytes(view.begin(), view.end()); }

inline std::vector<Bytes> random_shards(std::size_t count, std::size_t shard_bytes, std::mt19937_64& rng) {
    std::vector<Bytes> shards(count, Bytes(shard_bytes));
    for (Bytes& shard : shards) {
        for (std::uint8_t& byte : shard) byte = static_cast<std::uint8_t>(rng());
    }
    return shards;
}

// Every kernel set this machine can run, the scalar reference first.
inline std::vector<const char*> available_kernels() {
    std::vector<const char*> names;
    for (const char* name : {"scalar", "ssse3", "avx2"}) {
        if (engine::DefaultEngine::with_kernel(name)) names.push_back(name);
    }
    return names;
}

inline engine::DefaultEngine kernel(const char* name) {
    auto engine = engine::DefaultEngine::with_kernel(name);
    if (!engine) throw std::runtime_error(std::string("kernel set not available: ") + name);
    return std::move(*engine);
}

// The value of a Result that must hold one; an error fails the test through
// an exception carrying the error's debug text.
template <class T>
T ok(Result<T> result) {
    if (!result) throw std::runtime_error("unexpected codec error: " + result.error().debug_text());
    if constexpr (!std::is_void_v<T>) return std::move(*result);
}

// The error of a Result that must fail.
template <class T>
Error err(const Result<T>& result) {
    if (result) throw std::runtime_error("expected a codec error, got success");
    return result.error();
}

// One encoding pass: adds `originals` in order, encodes and copies the
// recovery shards out. The result is released before returning.
template <class Encoder>
std::vector<Bytes> encode_all(Encoder& encoder, const std::vector<Bytes>& originals) {
    for (const Bytes& shard : originals) ok(encoder.add_original_shard(shard));
    auto result = ok(encoder.encode());
    std::vector<Bytes> recovery;
    auto iter = result.recovery_iter();
    while (auto shard = iter.next()) recovery.emplace_back(shard->begin(), shard->end());
    return recovery;
}

// A shard handed to a decoder: original (index < original_count) or recovery
// (index - original_count), as in the system's single index space.
struct IndexedShard {
    std::size_t index;
    Bytes bytes;
};

// One decoding pass: adds `shards` in the given order, decodes and returns the
// restored originals by index. The result is released before returning.
template <class Decoder>
std::map<std::size_t, Bytes> decode_all(Decoder& decoder, std::size_t original_count,
                                        const std::vector<IndexedShard>& shards) {
    for (const IndexedShard& shard : shards) {
        if (shard.index < original_count) {
            ok(decoder.add_original_shard(shard.index, shard.bytes));
        } else {
            ok(decoder.add_recovery_shard(shard.index - original_count, shard.bytes));
        }
    }
    auto result = ok(decoder.decode());
    std::map<std::size_t, Bytes> restored;
    auto iter = result.restored_original_iter();
    std::size_t last = 0;
    while (auto shard = iter.next()) {
        if (!restored.empty() && shard->index <= last) throw std::runtime_error("restored indices not ascending");
        last = shard->index;
        restored.emplace(shard->index, Bytes(shard->bytes.begin(), shard->bytes.end()));
    }
    return restored;
}

}  // namespace ondrel::codec::testutil
