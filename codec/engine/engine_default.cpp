#include "codec/engine/engine_default.hpp"

#include <cstdlib>
#include <cstring>

#include "codec/engine/engine_avx2.hpp"
#include "codec/engine/engine_avx512gfni.hpp"
#include "codec/engine/engine_scalar.hpp"
#include "codec/engine/engine_ssse3.hpp"
#include "codec/engine/failure.hpp"
#include "codec/engine/gfni_tables.hpp"

namespace ondrel::engine {

namespace {

template <class VectorEngine>
std::unique_ptr<Engine> create_vector() {
    const Mul128Table& mul128 = get_mul128();
    const SkewTable& skew = get_skew();
    return std::make_unique<VectorEngine>(mul128, skew);
}

// The affine table is built here, on the first creation of a GFNI set only.
template <ProductForm FORM>
std::unique_ptr<Engine> create_avx512_gfni() {
    const AffineTable& affine = get_affine_table();
    const SkewTable& skew = get_skew();
    return std::make_unique<Avx512Gfni>(affine, skew, FORM);
}

std::unique_ptr<Engine> create_scalar() { return std::make_unique<Scalar>(get_exp_log(), get_skew()); }

constexpr CpuFeatures ALL_FEATURES = ~CpuFeatures{0};

// Best first; a second form of a set is one more row with its own name. The
// two GFNI product forms (ProductForm) give the same bytes; the default takes
// the halves where the core splits 512-bit operations anyway. The last row,
// the scalar reference, is never the default: the baseline set before it
// always runs.
constexpr KernelSet KERNEL_SETS[] = {
    {"avx512gfni", FEATURE_AVX512_GFNI, ALL_FEATURES, create_avx512_gfni<ProductForm::halves>,
     Avx512Gfni::eval_poly_avx512, FEATURE_HALF_WIDTH_512},
    {"avx512gfni-zmm", FEATURE_AVX512_GFNI, ALL_FEATURES, create_avx512_gfni<ProductForm::zmm>,
     Avx512Gfni::eval_poly_avx512},
    {"avx2", FEATURE_AVX2, FEATURE_AVX2, create_vector<Avx2>, Avx2::eval_poly_avx2},
    {"ssse3", 0, 0, create_vector<Ssse3>, Ssse3::eval_poly},
    {"scalar", 0, 0, create_scalar, Scalar::eval_poly},
};

bool runs_on(const KernelSet& set, CpuFeatures features) noexcept { return (set.needs & ~features) == 0; }

bool suits(const KernelSet& set, CpuFeatures features) noexcept { return (set.suits & ~features) == 0; }

const KernelSet* find(const char* name) noexcept {
    for (const KernelSet& set : KERNEL_SETS) {
        if (std::strcmp(set.name, name) == 0) return &set;
    }
    return nullptr;
}

std::string runnable_names(CpuFeatures features) {
    std::string names;
    for (const KernelSet& set : KERNEL_SETS) {
        if (!runs_on(set, features)) continue;
        if (!names.empty()) names += ", ";
        names += set.name;
    }
    return names;
}

}  // namespace

KernelChoice choose_kernel_set(const char* forced, CpuFeatures features) {
    if (forced == nullptr || *forced == '\0') {
        for (const KernelSet& set : KERNEL_SETS) {
            if (runs_on(set, features) && suits(set, features)) return {&set, features, {}};
        }
    }
    const KernelSet* set = forced == nullptr ? nullptr : find(forced);
    if (set != nullptr && runs_on(*set, features)) return {set, features & set->allows, {}};
    const std::string reason = set == nullptr ? "no kernel set has this name" : "this CPU or operating system cannot run it";
    return {nullptr, 0,
            std::string("ONDREL_EC_KERNEL=") + (forced == nullptr ? "" : forced) + ": " + reason +
                "; this machine runs: " + runnable_names(features)};
}

const KernelChoice& kernel_choice() {
    static const KernelChoice choice = choose_kernel_set(std::getenv("ONDREL_EC_KERNEL"), cpu_features());
    return choice;
}

DefaultEngine DefaultEngine::create() {
    const KernelChoice& choice = kernel_choice();
    if (choice.set == nullptr) internal_failure(choice.problem);
    return DefaultEngine(*choice.set);
}

std::optional<DefaultEngine> DefaultEngine::with_kernel(const char* name) {
    const KernelSet* set = find(name);
    if (set == nullptr || !runs_on(*set, cpu_features())) return std::nullopt;
    return DefaultEngine(*set);
}

std::vector<const char*> DefaultEngine::available_kernels() {
    std::vector<const char*> names;
    for (const KernelSet& set : KERNEL_SETS) {
        if (runs_on(set, cpu_features())) names.push_back(set.name);
    }
    return names;
}

}  // namespace ondrel::engine
