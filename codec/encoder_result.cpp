#include "codec/encoder_result.hpp"

namespace ondrel::codec {

std::optional<std::span<const std::uint8_t>> Recovery::next() {
    if (ended_) return std::nullopt;
    if (next_index_ < work_->recovery_count()) return work_->recovery(next_index_++);
    ended_ = true;
    return std::nullopt;
}

EncoderResult::~EncoderResult() {
    if (work_ != nullptr) work_->reset_received();
}

}  // namespace ondrel::codec
