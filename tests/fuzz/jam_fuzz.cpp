// libFuzzer target: the batched segment layer against the word-by-word
// reference road. The input chooses the counts, the data, a batch of extra
// segments, which shards a decode gets (in which order, with duplicates,
// recovery indices past the end, shortened shards) and damaged bytes; every
// outcome (shards, data, codec error or internal failure text) must be the
// reference's.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "codec/engine/failure.hpp"
#include "jam_word_road.hpp"
#include "src/jam/jam.hpp"

namespace {

using namespace ondrel::jam;
namespace codec = ondrel::codec;
using word_road::Outcome;

// Reads the fuzz input front to back; past its end everything is zero.
class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    std::uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
    std::uint16_t u16() { return static_cast<std::uint16_t>(byte() | byte() << 8); }
    Bytes take(std::size_t count) {
        Bytes out;
        while (count-- > 0 && at_ < size_) out.push_back(data_[at_++]);
        return out;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

[[noreturn]] void mismatch(const char* what) {
    std::fprintf(stderr, "segment layer disagrees with the word road: %s\n", what);
    std::abort();
}

// What a segment-layer call ended with, in the reference's terms.
template <class Call>
auto outcome(Call&& call) -> Outcome<typename decltype(call())::value_type> {
    try {
        auto result = call();
        if (!result) return result.error();
        return std::move(*result);
    } catch (const ondrel::InternalFailure& failure) {
        return std::string(failure.what());
    }
}

// The segment layer's two steps as the Python boundary takes them: the plan
// decides every failure, then the coding writes into storage of the planned
// size. The coding step must not fail where its plan passed.
codec::Result<std::vector<Bytes>> plan_and_encode(const Bytes& data, std::uint64_t orig, std::uint64_t rec) {
    const auto len = plan_encode(data.size(), orig, rec);
    if (!len) return std::unexpected(len.error());
    std::vector<Bytes> shards(orig + rec, Bytes(*len));
    std::vector<std::uint8_t*> rows;
    for (Bytes& shard : shards) rows.push_back(shard.data());
    if (!encode_into(data, orig, rec, rows)) mismatch("encode_into failed after its plan passed");
    return shards;
}

codec::Result<std::vector<std::vector<Bytes>>> plan_and_multi_encode(const std::vector<Bytes>& segments,
                                                                     std::uint64_t orig, std::uint64_t rec) {
    if (auto planned = plan_multi_encode(segments.size(), orig, rec); !planned) {
        return std::unexpected(planned.error());
    }
    std::vector<std::vector<Bytes>> out;
    std::vector<std::span<const std::uint8_t>> views;
    std::vector<std::uint8_t*> rows;
    for (const Bytes& segment : segments) {
        out.emplace_back(orig + rec, Bytes(*plan_encode(segment.size(), orig, rec)));
        views.emplace_back(segment);
    }
    for (auto& shards : out) {
        for (Bytes& shard : shards) rows.push_back(shard.data());
    }
    if (!multi_encode_into(views, orig, rec, rows)) mismatch("multi_encode_into failed after its plan passed");
    return out;
}

codec::Result<Bytes> plan_and_decode(const std::vector<IndexedShard>& given, std::uint64_t orig, std::uint64_t rec) {
    std::vector<ShardView> views;
    for (const IndexedShard& shard : given) views.push_back({shard.bytes, shard.index});
    const auto len = plan_decode(views, orig, rec);
    if (!len) return std::unexpected(len.error());
    Bytes out(*len);
    if (!decode_into(views, orig, rec, out.data())) mismatch("decode_into failed after its plan passed");
    return out;
}

// Counts: mostly small, sometimes at the codec's limits (which fail fast or
// code tiny data); the byte decides which.
std::uint64_t count(Input& in) {
    const std::uint8_t pick = in.byte();
    static constexpr std::uint64_t EDGES[] = {0, 1, 32768, 32767, 65535, 65536, 1ull << 40};
    if (pick >= 0xFC) return EDGES[pick % 7];
    return pick % 48;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* raw, std::size_t size) {
    Input in(raw, size);
    const std::uint64_t orig = count(in);
    const std::uint64_t rec = count(in);
    const bool huge = orig + rec > 96;
    const Bytes data = in.take(huge ? in.byte() % 8 : in.u16() % 1024);

    const auto reference = word_road::encode(data, orig, rec);
    if (outcome([&] { return plan_and_encode(data, orig, rec); }) != reference) mismatch("encode");

    // A batch: this segment among a few others of fuzzer-chosen lengths.
    std::vector<Bytes> segments;
    const std::size_t extra = huge ? 0 : in.byte() % 4;
    for (std::size_t k = 0; k <= extra; ++k) segments.push_back(k == extra / 2 ? data : in.take(in.byte()));
    const auto batch = outcome([&] { return plan_and_multi_encode(segments, orig, rec); });
    for (std::size_t k = 0; k < segments.size(); ++k) {
        const auto alone = word_road::encode(segments[k], orig, rec);
        if (batch.index() != alone.index()) mismatch("multi_encode outcome");
        if (batch.index() == 0 && std::get<0>(batch)[k] != std::get<0>(alone)) mismatch("multi_encode shards");
        // The counts are shared, so every segment fails with the same error.
        if (batch.index() == 1 && std::get<1>(batch) != std::get<1>(alone)) mismatch("multi_encode error");
    }

    if (reference.index() != 0) return 0;
    const auto& shards = std::get<0>(reference);
    // The shards a decode is given: fuzzer-chosen indices (beyond the end
    // too), some cut short, some with flipped bytes.
    std::vector<IndexedShard> given;
    const std::size_t picks = in.byte() % (huge ? 8 : orig + rec + 3);
    for (std::size_t k = 0; k < picks; ++k) {
        const std::uint16_t choice = in.u16();
        const std::uint64_t index = choice % (orig + rec + 2);
        Bytes bytes = shards[index % (orig + rec)];
        const std::uint8_t damage = in.byte();
        if ((damage & 0xC0) == 0x40 && !bytes.empty()) bytes[in.byte() % bytes.size()] ^= in.byte() | 1;
        if ((damage & 0xC0) == 0x80) bytes.resize(bytes.size() - std::min<std::size_t>(bytes.size(), damage & 7));
        given.push_back({std::move(bytes), index});
    }
    if (outcome([&] { return plan_and_decode(given, orig, rec); }) != word_road::decode(given, orig, rec)) mismatch("decode");
    return 0;
}
