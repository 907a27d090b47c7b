#include "codec/decoder_result.hpp"

namespace ondrel::codec {

std::optional<RestoredShard> RestoredOriginal::next() {
    if (remaining_ == 0) return std::nullopt;
    for (std::size_t i = next_index_; i < work_->original_count(); ++i) {
        if (auto bytes = work_->restored_original(i)) {
            next_index_ = i + 1;
            --remaining_;
            return RestoredShard{i, *bytes};
        }
    }
    return std::nullopt;
}

DecoderResult::~DecoderResult() {
    if (work_ != nullptr) work_->reset_received();
}

}  // namespace ondrel::codec
