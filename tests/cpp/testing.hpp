// Helpers shared by the C++ tests: byte strings, "electric fence" buffers,
// the kernel sets of this host, and driving whole codec passes.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <map>
#include <new>
#include <random>
#include <span>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "codec/engine/engine_default.hpp"
#include "codec/error.hpp"

namespace ondrel::testing {

using Bytes = std::vector<std::uint8_t>;

// "01 0a ff" -> {0x01, 0x0a, 0xff}.
inline Bytes hex(const std::string& text) {
    Bytes bytes;
    std::istringstream in(text);
    unsigned value = 0;
    while (in >> std::hex >> value) bytes.push_back(static_cast<std::uint8_t>(value));
    return bytes;
}

template <class Rng>
Bytes random_bytes(std::size_t n, Rng& rng) {
    Bytes bytes(n);
    for (auto& b : bytes) b = static_cast<std::uint8_t>(rng());
    return bytes;
}

template <class Rng>
std::vector<Bytes> random_shards(std::size_t count, std::size_t shard_bytes, Rng& rng) {
    std::vector<Bytes> shards;
    for (std::size_t i = 0; i < count; ++i) shards.push_back(random_bytes(shard_bytes, rng));
    return shards;
}

// Writable bytes that end `slack` bytes before a PROT_NONE page, so that any
// over-read or over-write faults at once.
class FencedBuffer {
public:
    FencedBuffer(std::size_t bytes, std::size_t slack) {
        const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
        const std::size_t usable = (bytes + slack + page - 1) / page * page;
        mapped_ = usable + page;
        void* base = mmap(nullptr, mapped_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (base == MAP_FAILED) throw std::bad_alloc();
        base_ = static_cast<std::uint8_t*>(base);
        if (mprotect(base_ + usable, page, PROT_NONE) != 0) {
            munmap(base_, mapped_);
            throw std::bad_alloc();
        }
        data_ = base_ + usable - slack - bytes;
    }
    FencedBuffer(const FencedBuffer&) = delete;
    FencedBuffer& operator=(const FencedBuffer&) = delete;
    ~FencedBuffer() { munmap(base_, mapped_); }

    [[nodiscard]] std::uint8_t* data() const noexcept { return data_; }

private:
    std::uint8_t* base_ = nullptr;
    std::size_t mapped_ = 0;
    std::uint8_t* data_ = nullptr;
};

// Every kernel set this host runs, best first, the scalar reference last.
inline std::vector<const char*> kernel_names() { return engine::DefaultEngine::available_kernels(); }

inline engine::DefaultEngine kernel(const char* name) {
    auto engine = engine::DefaultEngine::with_kernel(name);
    if (!engine) throw std::runtime_error(std::string("kernel set not available: ") + name);
    return std::move(*engine);
}

// The value of a Result that must hold one (else the test fails through an
// exception), and the error of one that must fail.
template <class T>
T ok(codec::Result<T> result) {
    if (!result) throw std::runtime_error("unexpected codec error: " + result.error().debug_text());
    if constexpr (!std::is_void_v<T>) return std::move(*result);
}

template <class T>
codec::Error err(const codec::Result<T>& result) {
    if (!result) return result.error();
    throw std::runtime_error("expected a codec error, got success");
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

// One decoding pass over shards given by index in the single index space
// (originals first, then recovery shards), in the order given; returns the
// restored originals by index. The result is released before returning.
template <class Decoder>
std::map<std::size_t, Bytes> decode_all(Decoder& decoder, std::size_t original_count,
                                        const std::map<std::size_t, Bytes>& given) {
    for (const auto& [index, bytes] : given) {
        if (index < original_count) {
            ok(decoder.add_original_shard(index, bytes));
        } else {
            ok(decoder.add_recovery_shard(index - original_count, bytes));
        }
    }
    auto result = ok(decoder.decode());
    std::map<std::size_t, Bytes> restored;
    auto iter = result.restored_original_iter();
    while (auto shard = iter.next()) {
        if (!restored.empty() && shard->index <= restored.rbegin()->first) {
            throw std::runtime_error("restored indices not ascending");
        }
        restored.emplace(shard->index, Bytes(shard->bytes.begin(), shard->bytes.end()));
    }
    return restored;
}

}  // namespace ondrel::testing
