// The erasure-locator values a rate decoder scales its shards by, and the
// scaling step itself, shared by the high-rate and the low-rate decoder.
#pragma once

#include <array>
#include <cstddef>
#include <memory>

#include "codec/engine/engine_default.hpp"
#include "codec/rate/decoder_work.hpp"

namespace ondrel::codec {

// Locator values of the last decode of one decoder (128 KiB, on the heap rather
// than on worker-thread stacks). Computing them costs a transform over the
// whole field, so they are kept together with the exact input they came from
// (counts and received set) and reused while a caller decodes many passes with
// the same shards present. Owned by one decoder; not thread-safe.
class ErasureLocator {
public:
    using Values = std::array<engine::GfElement, engine::GF_ORDER>;

    ErasureLocator() : values_(std::make_unique<Values>()) {}

    // The locator values for these counts and this received set. When they
    // differ from the last call, the array is zero-filled, `mark_erased(values)`
    // sets 1 at every erased codeword position, and the indicator is evaluated
    // with the engine's eval_poly(truncated_size). The reference is valid until
    // the next call.
    template <class MarkErased>
    const Values& get(const engine::DefaultEngine& engine, std::size_t original_count, std::size_t recovery_count, const FixedBitSet& received,
                      std::size_t truncated_size, MarkErased&& mark_erased) {
        if (valid_ && original_count_ == original_count && recovery_count_ == recovery_count &&
            received_ == received) {
            return *values_;
        }
        valid_ = false;
        values_->fill(0);
        mark_erased(*values_);
        engine.eval_poly(*values_, truncated_size);
        original_count_ = original_count;
        recovery_count_ = recovery_count;
        received_ = received;
        valid_ = true;
        return *values_;
    }

private:
    std::unique_ptr<Values> values_;
    bool valid_ = false;
    std::size_t original_count_ = 0;
    std::size_t recovery_count_ = 0;
    FixedBitSet received_;
};

// Scales every received position in [begin, end) of `data` by its locator value
// and clears every other position of that range.
inline void scale_or_zero(const engine::DefaultEngine& engine, const engine::ShardsRefMut& data,
                          const FixedBitSet& received, const ErasureLocator::Values& locator, std::size_t begin,
                          std::size_t end) {
    for (std::size_t p = begin; p < end; ++p) {
        if (received.contains(p)) {
            engine.mul(data.shard(p), locator[p]);
        } else {
            data.zero(p, p + 1);
        }
    }
}

// The first received position below `end` (or `end`): once every position that
// was not received is cleared, the shards before it are all zero, which the
// inverse transform can skip.
inline std::size_t first_received(const FixedBitSet& received, std::size_t end) noexcept {
    std::size_t p = 0;
    while (p < end && !received.contains(p)) ++p;
    return p;
}

}  // namespace ondrel::codec
