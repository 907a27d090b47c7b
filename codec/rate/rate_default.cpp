#include "codec/rate/rate_default.hpp"

#include <algorithm>
#include <bit>

#include "codec/engine/failure.hpp"

namespace ondrel::codec {

namespace {

constexpr std::size_t MAX_COUNT = 65536;

// Runs `f` on the inner rate object; a vacant object is a broken invariant.
template <class Variant, class F>
decltype(auto) dispatch(Variant&& inner, F&& f) {
    using Bare = std::remove_cvref_t<Variant>;
    if (std::holds_alternative<std::variant_alternative_t<1, Bare>>(inner)) {
        return f(std::get<1>(std::forward<Variant>(inner)));
    }
    if (std::holds_alternative<std::variant_alternative_t<2, Bare>>(inner)) {
        return f(std::get<2>(std::forward<Variant>(inner)));
    }
    internal_failure(failure_text::UNREACHABLE);
}

template <class Variant>
std::optional<Rate> rate_of(const Variant& inner) noexcept {
    switch (inner.index()) {
        case 1: return Rate::High;
        case 2: return Rate::Low;
        default: return std::nullopt;
    }
}

bool valid_shard_bytes(std::size_t shard_bytes) noexcept { return shard_bytes != 0 && shard_bytes % 2 == 0; }

// The reset shared by both directions. `High` and `Low` are the two rate
// types; both offer create(..., engine, work), reset and into_parts.
template <class High, class Low, class Variant>
Result<void> reset_inner(Variant& inner, std::size_t original_count, std::size_t recovery_count,
                         std::size_t shard_bytes) {
    const auto rate = choose_rate(original_count, recovery_count);
    if (!rate) return std::unexpected(rate.error());
    // Deliberate choice: the shard size is checked here, before the inner
    // object is taken out, so that a failed reset leaves the object in its
    // previous, working configuration instead of vacant. The rate types would
    // report the same error (their count rule holds after choose_rate).
    if (!valid_shard_bytes(shard_bytes)) return std::unexpected(Error::invalid_shard_size(shard_bytes));

    Variant taken = std::exchange(inner, std::monostate{});
    if (std::holds_alternative<std::monostate>(taken)) {
        internal_failure(failure_text::UNREACHABLE);
    }
    const bool same_rate = (*rate == Rate::High) == std::holds_alternative<High>(taken);
    if (same_rate) {
        return dispatch(taken, [&](auto& object) {
            auto reset = object.reset(original_count, recovery_count, shard_bytes);
            inner = std::move(object);
            return reset;
        });
    }
    // Other rate: hand engine and work buffer over to a new object of it.
    return dispatch(taken, [&](auto& object) -> Result<void> {
        auto [engine, work] = std::move(object).into_parts();
        auto create_other = [&]<class Other>() -> Result<void> {
            auto created = Other::create(original_count, recovery_count, shard_bytes, std::move(engine),
                                         std::move(work));
            if (!created) return std::unexpected(created.error());
            inner = std::move(*created);
            return {};
        };
        if (*rate == Rate::High) return create_other.template operator()<High>();
        return create_other.template operator()<Low>();
    });
}

// choose_rate, then create of the chosen rate type.
template <class High, class Low, class Work>
Result<std::variant<std::monostate, High, Low>> create_inner(std::size_t original_count,
                                                             std::size_t recovery_count, std::size_t shard_bytes,
                                                             engine::DefaultEngine engine, std::optional<Work> work) {
    const auto rate = choose_rate(original_count, recovery_count);
    if (!rate) return std::unexpected(rate.error());
    if (*rate == Rate::High) {
        auto created = High::create(original_count, recovery_count, shard_bytes, std::move(engine), std::move(work));
        if (!created) return std::unexpected(created.error());
        return std::move(*created);
    }
    auto created = Low::create(original_count, recovery_count, shard_bytes, std::move(engine), std::move(work));
    if (!created) return std::unexpected(created.error());
    return std::move(*created);
}

}  // namespace

bool default_rate_supports(std::size_t original_count, std::size_t recovery_count) noexcept {
    // The bounds come before any power of two is formed.
    if (original_count > MAX_COUNT || recovery_count > MAX_COUNT) return false;
    if (original_count == 0 || recovery_count == 0) return false;
    return std::min(std::bit_ceil(original_count), std::bit_ceil(recovery_count)) +
               std::max(original_count, recovery_count) <=
           MAX_COUNT;
}

Result<Rate> choose_rate(std::size_t original_count, std::size_t recovery_count) noexcept {
    if (!default_rate_supports(original_count, recovery_count)) {
        return std::unexpected(Error::unsupported_shard_count(original_count, recovery_count));
    }
    const std::size_t po = std::bit_ceil(original_count);
    const std::size_t pr = std::bit_ceil(recovery_count);
    if (po != pr) return po < pr ? Rate::Low : Rate::High;
    return original_count <= recovery_count ? Rate::High : Rate::Low;
}

std::size_t encoder_work_count(std::size_t original_count, std::size_t recovery_count) noexcept {
    const auto work = [&]<class Rate>() {
        return Rate::encoder_work_count(original_count, recovery_count,
                                        Rate::chunk_size(original_count, recovery_count));
    };
    return choose_rate(original_count, recovery_count) == Rate::High ? work.template operator()<HighRate>()
                                                                     : work.template operator()<LowRate>();
}

std::size_t decoder_work_count(std::size_t original_count, std::size_t recovery_count) noexcept {
    const auto work = [&]<class Rate>() {
        return Rate::decoder_layout(original_count, recovery_count, Rate::chunk_size(original_count, recovery_count))
            .work_count;
    };
    return choose_rate(original_count, recovery_count) == Rate::High ? work.template operator()<HighRate>()
                                                                     : work.template operator()<LowRate>();
}

// ---- DefaultRateEncoder ----

Result<DefaultRateEncoder> DefaultRateEncoder::create(std::size_t original_count, std::size_t recovery_count,
                                                      std::size_t shard_bytes, engine::DefaultEngine engine,
                                                      std::optional<EncoderWork> work) {
    auto inner = create_inner<HighRateEncoder, LowRateEncoder>(original_count, recovery_count, shard_bytes,
                                                               std::move(engine), std::move(work));
    if (!inner) return std::unexpected(inner.error());
    return DefaultRateEncoder(std::move(*inner));
}

Result<void> DefaultRateEncoder::reset(std::size_t original_count, std::size_t recovery_count,
                                       std::size_t shard_bytes) {
    return reset_inner<HighRateEncoder, LowRateEncoder>(inner_, original_count, recovery_count, shard_bytes);
}

Result<void> DefaultRateEncoder::add_original_shard(std::span<const std::uint8_t> shard) {
    return dispatch(inner_, [&](auto& object) { return object.add_original_shard(shard); });
}

Result<EncoderResult> DefaultRateEncoder::encode() {
    return dispatch(inner_, [](auto& object) { return object.encode(); });
}

std::pair<engine::DefaultEngine, EncoderWork> DefaultRateEncoder::into_parts() && {
    return dispatch(std::move(inner_), [](auto&& object) { return std::move(object).into_parts(); });
}

std::optional<Rate> DefaultRateEncoder::rate() const noexcept { return rate_of(inner_); }

const engine::DefaultEngine& DefaultRateEncoder::engine() const {
    return dispatch(inner_, [](const auto& object) -> const engine::DefaultEngine& { return object.engine(); });
}

const EncoderWork& DefaultRateEncoder::work() const {
    return dispatch(inner_, [](const auto& object) -> const EncoderWork& { return object.work(); });
}

// ---- DefaultRateDecoder ----

Result<DefaultRateDecoder> DefaultRateDecoder::create(std::size_t original_count, std::size_t recovery_count,
                                                      std::size_t shard_bytes, engine::DefaultEngine engine,
                                                      std::optional<DecoderWork> work) {
    auto inner = create_inner<HighRateDecoder, LowRateDecoder>(original_count, recovery_count, shard_bytes,
                                                               std::move(engine), std::move(work));
    if (!inner) return std::unexpected(inner.error());
    return DefaultRateDecoder(std::move(*inner));
}

Result<void> DefaultRateDecoder::reset(std::size_t original_count, std::size_t recovery_count,
                                       std::size_t shard_bytes) {
    return reset_inner<HighRateDecoder, LowRateDecoder>(inner_, original_count, recovery_count, shard_bytes);
}

Result<void> DefaultRateDecoder::add_original_shard(std::size_t index, std::span<const std::uint8_t> shard) {
    return dispatch(inner_, [&](auto& object) { return object.add_original_shard(index, shard); });
}

Result<void> DefaultRateDecoder::add_recovery_shard(std::size_t index, std::span<const std::uint8_t> shard) {
    return dispatch(inner_, [&](auto& object) { return object.add_recovery_shard(index, shard); });
}

Result<DecoderResult> DefaultRateDecoder::decode() {
    return dispatch(inner_, [](auto& object) { return object.decode(); });
}

std::pair<engine::DefaultEngine, DecoderWork> DefaultRateDecoder::into_parts() && {
    return dispatch(std::move(inner_), [](auto&& object) { return std::move(object).into_parts(); });
}

std::optional<Rate> DefaultRateDecoder::rate() const noexcept { return rate_of(inner_); }

const engine::DefaultEngine& DefaultRateDecoder::engine() const {
    return dispatch(inner_, [](const auto& object) -> const engine::DefaultEngine& { return object.engine(); });
}

const DecoderWork& DefaultRateDecoder::work() const {
    return dispatch(inner_, [](const auto& object) -> const DecoderWork& { return object.work(); });
}

}  // namespace ondrel::codec
