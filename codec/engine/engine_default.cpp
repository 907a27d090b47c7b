#include "codec/engine/engine_default.hpp"

#include <cstring>

#include "codec/engine/engine_scalar.hpp"

namespace ondrel::engine {

DefaultEngine DefaultEngine::create() {
    return DefaultEngine(std::make_unique<Scalar>(get_exp_log(), get_skew()));
}

std::optional<DefaultEngine> DefaultEngine::with_kernel(const char* name) {
    if (std::strcmp(name, "scalar") == 0) {
        return DefaultEngine(std::make_unique<Scalar>(get_exp_log(), get_skew()));
    }
    return std::nullopt;
}

void DefaultEngine::eval_poly(std::span<GfElement, GF_ORDER> erasures, std::size_t truncated_size) {
    Scalar::eval_poly(erasures, truncated_size);
}

}  // namespace ondrel::engine
