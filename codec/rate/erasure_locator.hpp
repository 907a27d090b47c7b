// The erasure-locator values a rate decoder scales its shards by, and the
// scaling step itself, shared by the high-rate and the low-rate decoder.
#pragma once

#include <algorithm>
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

// The non-zero part of the inverse transform's input: positions first..end-1
// hold the scaled shards and cleared gaps, everything else is zero.
struct ReceivedSpan {
    std::size_t first;  // the first received position
    std::size_t end;    // one past the last received position
};

// Readies the inverse transform's input over the codeword positions below
// `end`: scales every received position by its locator value and clears every
// other position up to the last received one. The positions from there to
// `end` are not touched: the transform, truncated to the returned span's end,
// reads them as zero. At least one position below `end` is received.
inline ReceivedSpan scale_received(const engine::DefaultEngine& engine, const engine::ShardsRefMut& data,
                                   const FixedBitSet& received, const ErasureLocator::Values& locator,
                                   std::size_t end) {
    ReceivedSpan span{end, 0};
    std::size_t cleared = 0;  // positions below this are scaled or cleared
    for (std::size_t p = 0; p < end; ++p) {
        if (!received.contains(p)) continue;
        data.zero(cleared, p);
        engine.mul(data.shard(p), locator[p]);
        cleared = p + 1;
        span.first = std::min(span.first, p);
        span.end = p + 1;
    }
    return span;
}

}  // namespace ondrel::codec
