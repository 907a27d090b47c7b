#include "codec/error.hpp"

#include <string>

namespace ondrel::codec {

namespace {

struct VariantInfo {
    const char* name;
    const char* field_names[3];
    int field_count;
};

constexpr VariantInfo VARIANTS[] = {
    {"DifferentShardSize", {"shard_bytes", "got"}, 2},
    {"DuplicateOriginalShardIndex", {"index"}, 1},
    {"DuplicateRecoveryShardIndex", {"index"}, 1},
    {"InvalidOriginalShardIndex", {"original_count", "index"}, 2},
    {"InvalidRecoveryShardIndex", {"recovery_count", "index"}, 2},
    {"InvalidShardSize", {"shard_bytes"}, 1},
    {"NotEnoughShards", {"original_count", "original_received_count", "recovery_received_count"}, 3},
    {"TooFewOriginalShards", {"original_count", "original_received_count"}, 2},
    {"TooManyOriginalShards", {"original_count"}, 1},
    {"UnsupportedShardCount", {"original_count", "recovery_count"}, 2},
};

Error make(ErrorKind kind, std::size_t a = 0, std::size_t b = 0, std::size_t c = 0) noexcept {
    return Error{kind, {a, b, c}};
}

}  // namespace

Error Error::different_shard_size(std::size_t shard_bytes, std::size_t got) noexcept {
    return make(ErrorKind::DifferentShardSize, shard_bytes, got);
}
Error Error::duplicate_original_shard_index(std::size_t index) noexcept {
    return make(ErrorKind::DuplicateOriginalShardIndex, index);
}
Error Error::duplicate_recovery_shard_index(std::size_t index) noexcept {
    return make(ErrorKind::DuplicateRecoveryShardIndex, index);
}
Error Error::invalid_original_shard_index(std::size_t original_count, std::size_t index) noexcept {
    return make(ErrorKind::InvalidOriginalShardIndex, original_count, index);
}
Error Error::invalid_recovery_shard_index(std::size_t recovery_count, std::size_t index) noexcept {
    return make(ErrorKind::InvalidRecoveryShardIndex, recovery_count, index);
}
Error Error::invalid_shard_size(std::size_t shard_bytes) noexcept {
    return make(ErrorKind::InvalidShardSize, shard_bytes);
}
Error Error::not_enough_shards(std::size_t original_count, std::size_t original_received_count,
                               std::size_t recovery_received_count) noexcept {
    return make(ErrorKind::NotEnoughShards, original_count, original_received_count,
                recovery_received_count);
}
Error Error::too_few_original_shards(std::size_t original_count,
                                     std::size_t original_received_count) noexcept {
    return make(ErrorKind::TooFewOriginalShards, original_count, original_received_count);
}
Error Error::too_many_original_shards(std::size_t original_count) noexcept {
    return make(ErrorKind::TooManyOriginalShards, original_count);
}
Error Error::unsupported_shard_count(std::size_t original_count, std::size_t recovery_count) noexcept {
    return make(ErrorKind::UnsupportedShardCount, original_count, recovery_count);
}

std::string Error::display_text() const {
    const auto& f = fields;
    switch (kind) {
        case ErrorKind::DifferentShardSize:
            return std::string("different shard size: expected ") + std::to_string(f[0]) + " bytes, got " + std::to_string(f[1]) + " bytes";
        case ErrorKind::DuplicateOriginalShardIndex:
            return std::string("duplicate original shard index: ") + std::to_string(f[0]);
        case ErrorKind::DuplicateRecoveryShardIndex:
            return std::string("duplicate recovery shard index: ") + std::to_string(f[0]);
        case ErrorKind::InvalidOriginalShardIndex:
            return std::string("invalid original shard index: ") + std::to_string(f[1]) + " >= original_count " + std::to_string(f[0]);
        case ErrorKind::InvalidRecoveryShardIndex:
            return std::string("invalid recovery shard index: ") + std::to_string(f[1]) + " >= recovery_count " + std::to_string(f[0]);
        case ErrorKind::InvalidShardSize:
            // The missing "be" is part of the established text.
            return std::string("invalid shard size: ") + std::to_string(f[0]) + " bytes (must non-zero and multiple of 2)";
        case ErrorKind::NotEnoughShards:
            return std::string("not enough shards: ") + std::to_string(f[1]) + " original + " + std::to_string(f[2]) + " recovery < " + std::to_string(f[0]) + " original_count";
        case ErrorKind::TooFewOriginalShards:
            return std::string("too few original shards: got ") + std::to_string(f[1]) + " shards while original_count is " + std::to_string(f[0]);
        case ErrorKind::TooManyOriginalShards:
            return std::string("too many original shards: got more than original_count (") + std::to_string(f[0]) + ") shards";
        case ErrorKind::UnsupportedShardCount:
            return std::string("unsupported shard count: ") + std::to_string(f[0]) + " original shards with " + std::to_string(f[1]) + " recovery shards";
    }
    return "unknown error";
}

std::string Error::debug_text() const {
    const VariantInfo& info = VARIANTS[static_cast<int>(kind)];
    std::string text = std::string(info.name) + " { ";
    for (int i = 0; i < info.field_count; ++i) {
        if (i > 0) text += ", ";
        text += std::string(info.field_names[i]) + ": " + std::to_string(fields[i]);
    }
    text += " }";
    return text;
}

}  // namespace ondrel::codec
