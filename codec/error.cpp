#include "codec/error.hpp"

#include <initializer_list>
#include <string>
#include <utility>

namespace ondrel::codec {

namespace {

using std::to_string;

template <class... Fs>
struct Overloaded : Fs... {
    using Fs::operator()...;
};

using Field = std::pair<const char*, std::size_t>;

std::string debug_form(const char* name, std::initializer_list<Field> fields) {
    std::string text = std::string(name) + " { ";
    const char* separator = "";
    for (const auto& [field, value] : fields) {
        text += separator + std::string(field) + ": " + to_string(value);
        separator = ", ";
    }
    return text + " }";
}

}  // namespace

std::string Error::display_text() const {
    using namespace errors;
    return std::visit(
        Overloaded{
            [](const DifferentShardSize& e) {
                return "different shard size: expected " + to_string(e.shard_bytes) + " bytes, got " +
                       to_string(e.got) + " bytes";
            },
            [](const DuplicateOriginalShardIndex& e) { return "duplicate original shard index: " + to_string(e.index); },
            [](const DuplicateRecoveryShardIndex& e) { return "duplicate recovery shard index: " + to_string(e.index); },
            [](const InvalidOriginalShardIndex& e) {
                return "invalid original shard index: " + to_string(e.index) + " >= original_count " +
                       to_string(e.original_count);
            },
            [](const InvalidRecoveryShardIndex& e) {
                return "invalid recovery shard index: " + to_string(e.index) + " >= recovery_count " +
                       to_string(e.recovery_count);
            },
            // The missing "be" is part of the established text.
            [](const InvalidShardSize& e) {
                return "invalid shard size: " + to_string(e.shard_bytes) + " bytes (must non-zero and multiple of 2)";
            },
            [](const NotEnoughShards& e) {
                return "not enough shards: " + to_string(e.original_received_count) + " original + " +
                       to_string(e.recovery_received_count) + " recovery < " + to_string(e.original_count) +
                       " original_count";
            },
            [](const TooFewOriginalShards& e) {
                return "too few original shards: got " + to_string(e.original_received_count) +
                       " shards while original_count is " + to_string(e.original_count);
            },
            [](const TooManyOriginalShards& e) {
                return "too many original shards: got more than original_count (" + to_string(e.original_count) +
                       ") shards";
            },
            [](const UnsupportedShardCount& e) {
                return "unsupported shard count: " + to_string(e.original_count) + " original shards with " +
                       to_string(e.recovery_count) + " recovery shards";
            },
        },
        value);
}

std::string Error::debug_text() const {
    using namespace errors;
    return std::visit(
        Overloaded{
            [](const DifferentShardSize& e) {
                return debug_form("DifferentShardSize", {{"shard_bytes", e.shard_bytes}, {"got", e.got}});
            },
            [](const DuplicateOriginalShardIndex& e) {
                return debug_form("DuplicateOriginalShardIndex", {{"index", e.index}});
            },
            [](const DuplicateRecoveryShardIndex& e) {
                return debug_form("DuplicateRecoveryShardIndex", {{"index", e.index}});
            },
            [](const InvalidOriginalShardIndex& e) {
                return debug_form("InvalidOriginalShardIndex",
                                  {{"original_count", e.original_count}, {"index", e.index}});
            },
            [](const InvalidRecoveryShardIndex& e) {
                return debug_form("InvalidRecoveryShardIndex",
                                  {{"recovery_count", e.recovery_count}, {"index", e.index}});
            },
            [](const InvalidShardSize& e) { return debug_form("InvalidShardSize", {{"shard_bytes", e.shard_bytes}}); },
            [](const NotEnoughShards& e) {
                return debug_form("NotEnoughShards", {{"original_count", e.original_count},
                                                      {"original_received_count", e.original_received_count},
                                                      {"recovery_received_count", e.recovery_received_count}});
            },
            [](const TooFewOriginalShards& e) {
                return debug_form("TooFewOriginalShards", {{"original_count", e.original_count},
                                                           {"original_received_count", e.original_received_count}});
            },
            [](const TooManyOriginalShards& e) {
                return debug_form("TooManyOriginalShards", {{"original_count", e.original_count}});
            },
            [](const UnsupportedShardCount& e) {
                return debug_form("UnsupportedShardCount",
                                  {{"original_count", e.original_count}, {"recovery_count", e.recovery_count}});
            },
        },
        value);
}

}  // namespace ondrel::codec
