#include "codec/engine/engine_default.hpp"

#include <atomic>
#include <cstdint>
#include <cstring>

#include "codec/engine/cpu_features.hpp"
#include "codec/engine/engine_avx2.hpp"
#include "codec/engine/engine_avx512gfni.hpp"
#include "codec/engine/gfni_tables.hpp"
#include "codec/engine/engine_scalar.hpp"
#include "codec/engine/engine_ssse3.hpp"

namespace ondrel::engine {

namespace {

// The CPU-test answers of one selection point, one byte per feature, each
// FEATURE_UNTESTED until its first use. A wider kernel set adds its byte here.
struct FeatureCache {
    std::atomic<std::uint8_t> has_avx512_gfni{FEATURE_UNTESTED};
    std::atomic<std::uint8_t> has_avx2{FEATURE_UNTESTED};
};

struct KernelSet {
    const char* name;
    bool (*runs_here)(FeatureCache&);
    std::unique_ptr<Engine> (*create)();
    EvalPolyFn eval_poly;
};

bool baseline(FeatureCache&) { return true; }
bool avx2_supported(FeatureCache& cache) { return cached_feature(cache.has_avx2, detect_avx2); }
bool avx512_gfni_supported(FeatureCache& cache) {
    return cached_feature(cache.has_avx512_gfni, detect_avx512_gfni);
}

template <class VectorEngine>
std::unique_ptr<Engine> create_vector() {
    const Mul128Table& mul128 = get_mul128();
    const SkewTable& skew = get_skew();
    return std::make_unique<VectorEngine>(mul128, skew);
}

// The affine table is built here, on the first creation of this set only.
std::unique_ptr<Engine> create_avx512_gfni() {
    const AffineTable& affine = get_affine_table();
    const SkewTable& skew = get_skew();
    return std::make_unique<Avx512Gfni>(affine, skew);
}

std::unique_ptr<Engine> create_scalar() { return std::make_unique<Scalar>(get_exp_log(), get_skew()); }

// Best first; the first entry that runs here is selected. The last entry needs
// nothing beyond the build's baseline, so selection always succeeds. The
// scalar engine is not an outcome of selection: a CPU without SSSE3 and
// SSE4.1 cannot run any code of this build.
constexpr KernelSet KERNEL_SETS[] = {
    {"avx512gfni", avx512_gfni_supported, create_avx512_gfni, Avx512Gfni::eval_poly_avx512},
    {"avx2", avx2_supported, create_vector<Avx2>, Avx2::eval_poly_avx2},
    {"ssse3", baseline, create_vector<Ssse3>, Ssse3::eval_poly},
};
constexpr KernelSet SCALAR_SET = {"scalar", baseline, create_scalar, Scalar::eval_poly};

const KernelSet& select(FeatureCache& cache) {
    for (const KernelSet& set : KERNEL_SETS) {
        if (set.runs_here(cache)) return set;
    }
    return KERNEL_SETS[std::size(KERNEL_SETS) - 1];
}

// Each selection point keeps its own cache, so each runs the CPU test once.
namespace create_choice {
constinit FeatureCache STORAGE;
}
namespace eval_poly_choice {
constinit FeatureCache STORAGE;
}
// Named-kernel queries for tests and benchmarks; kept apart so that they do not
// answer the selection points' first test for them.
namespace query_choice {
constinit FeatureCache STORAGE;
}

// The named set if this CPU runs it, else nullptr.
const KernelSet* find_runnable(const char* name) {
    if (std::strcmp(name, SCALAR_SET.name) == 0) return &SCALAR_SET;
    for (const KernelSet& set : KERNEL_SETS) {
        if (std::strcmp(name, set.name) == 0) return set.runs_here(query_choice::STORAGE) ? &set : nullptr;
    }
    return nullptr;
}

}  // namespace

DefaultEngine DefaultEngine::create() { return DefaultEngine(select(create_choice::STORAGE).create()); }

std::optional<DefaultEngine> DefaultEngine::with_kernel(const char* name) {
    const KernelSet* set = find_runnable(name);
    if (set == nullptr) return std::nullopt;
    return DefaultEngine(set->create());
}

std::vector<const char*> DefaultEngine::available_kernels() {
    std::vector<const char*> names;
    for (const KernelSet& set : KERNEL_SETS) {
        if (set.runs_here(query_choice::STORAGE)) names.push_back(set.name);
    }
    names.push_back(SCALAR_SET.name);
    return names;
}

void DefaultEngine::eval_poly(std::span<GfElement, GF_ORDER> erasures, std::size_t truncated_size) {
    select(eval_poly_choice::STORAGE).eval_poly(erasures, truncated_size);
}

const char* DefaultEngine::eval_poly_kernel_name() { return select(eval_poly_choice::STORAGE).name; }

EvalPolyFn DefaultEngine::eval_poly_kernel(const char* name) {
    const KernelSet* set = find_runnable(name);
    return set == nullptr ? nullptr : set->eval_poly;
}

}  // namespace ondrel::engine
