#include "codec/engine/tables.hpp"

namespace ondrel::engine {

std::unique_ptr<ExpLog> initialize_exp_log() {
    auto tables = std::make_unique<ExpLog>();
    LogTable& exp = tables->exp;
    LogTable& log = tables->log;
    exp.fill(0);
    log.fill(0);

    // Number the non-zero elements of the polynomial basis with a shift register.
    std::uint32_t state = 1;
    for (std::uint32_t i = 0; i < GF_MODULUS; ++i) {
        exp[state] = static_cast<GfElement>(i);
        state <<= 1;
        if (state >= GF_ORDER) state ^= GF_POLYNOMIAL;
    }
    exp[0] = static_cast<GfElement>(GF_MODULUS);

    // log[i] becomes the polynomial-basis value of Cantor-basis element i ...
    log[0] = 0;
    for (unsigned k = 0; k < GF_BITS; ++k) {
        const std::size_t width = std::size_t{1} << k;
        for (std::size_t j = 0; j < width; ++j) log[j + width] = log[j] ^ CANTOR_BASIS[k];
    }
    // ... and then its logarithm.
    for (std::size_t i = 0; i < GF_ORDER; ++i) log[i] = exp[log[i]];
    for (std::size_t i = 0; i < GF_ORDER; ++i) exp[log[i]] = static_cast<GfElement>(i);
    exp[GF_MODULUS] = exp[0];
    return tables;
}

std::unique_ptr<LogTable> initialize_log_walsh() {
    const ExpLog& tables = get_exp_log();
    auto walsh = std::make_unique<LogTable>(tables.log);
    (*walsh)[0] = 0;
    fwht(*walsh, GF_ORDER);
    return walsh;
}

std::unique_ptr<Mul128Table> initialize_mul128() {
    const ExpLog& tables = get_exp_log();
    auto table = std::make_unique<Mul128Table>();
    for (std::size_t log_m = 0; log_m < GF_ORDER; ++log_m) {
        Mul128Entry& entry = (*table)[log_m];
        for (unsigned r = 0; r < 4; ++r) {
            entry.lo[r][0] = 0;
            entry.hi[r][0] = 0;
            for (unsigned x = 1; x < 16; ++x) {
                const GfElement p =
                    tables.exp[add_mod(tables.log[x << (4 * r)], static_cast<GfElement>(log_m))];
                entry.lo[r][x] = static_cast<std::uint8_t>(p & 0xFF);
                entry.hi[r][x] = static_cast<std::uint8_t>(p >> 8);
            }
        }
    }
    return table;
}

std::unique_ptr<SkewTable> initialize_skew() {
    const ExpLog& tables = get_exp_log();
    auto skew_owner = std::make_unique<SkewTable>();
    SkewTable& skew = *skew_owner;
    skew.fill(0);

    std::array<GfElement, GF_BITS - 1> temp{};
    for (unsigned k = 0; k + 1 < GF_BITS; ++k) temp[k] = static_cast<GfElement>(1u << (k + 1));

    for (unsigned m = 0; m + 1 < GF_BITS; ++m) {
        const std::size_t step = std::size_t{1} << (m + 1);
        skew[(std::size_t{1} << m) - 1] = 0;
        for (unsigned i = m; i + 1 < GF_BITS; ++i) {
            const std::size_t s = std::size_t{1} << (i + 1);
            for (std::size_t j = (std::size_t{1} << m) - 1; j < s; j += step) {
                skew[j + s] = skew[j] ^ temp[i];
            }
        }
        temp[m] = static_cast<GfElement>(GF_MODULUS -
                                         tables.log[mul(temp[m], tables.log[temp[m] ^ 1], tables)]);
        for (unsigned i = m + 1; i + 1 < GF_BITS; ++i) {
            temp[i] = mul(temp[i], add_mod(tables.log[temp[i] ^ 1], temp[m]), tables);
        }
    }
    for (auto& entry : skew) entry = tables.log[entry];
    return skew_owner;
}

// The accessors hand out tables that are deliberately never freed: pool
// threads may still read them while static destructors run at exit. Function
// statics give the one-time initialisation: an acquire-checked flag on the fast
// path, one builder, other first callers blocked until it publishes.
const ExpLog& get_exp_log() {
    static const ExpLog* const table = initialize_exp_log().release();
    return *table;
}

const LogTable& get_log_walsh() {
    static const LogTable* const table = initialize_log_walsh().release();
    return *table;
}

const Mul128Table& get_mul128() {
    static const Mul128Table* const table = initialize_mul128().release();
    return *table;
}

const SkewTable& get_skew() {
    static const SkewTable* const table = initialize_skew().release();
    return *table;
}

void fwht(std::span<GfElement, GF_ORDER> data, std::size_t truncated_size) noexcept {
    std::size_t dist = 1;
    std::size_t dist4 = 4;
    while (dist4 <= GF_ORDER) {
        for (std::size_t r = 0; r < truncated_size; r += dist4) {
            for (std::size_t o = r; o < r + dist; ++o) {
                const std::size_t i0 = o & (GF_ORDER - 1);
                const std::size_t i1 = (o + dist) & (GF_ORDER - 1);
                const std::size_t i2 = (o + 2 * dist) & (GF_ORDER - 1);
                const std::size_t i3 = (o + 3 * dist) & (GF_ORDER - 1);
                const GfElement s0 = add_mod(data[i0], data[i1]);
                const GfElement d0 = sub_mod(data[i0], data[i1]);
                const GfElement s1 = add_mod(data[i2], data[i3]);
                const GfElement d1 = sub_mod(data[i2], data[i3]);
                data[i0] = add_mod(s0, s1);
                data[i1] = add_mod(d0, d1);
                data[i2] = sub_mod(s0, s1);
                data[i3] = sub_mod(d0, d1);
            }
        }
        dist = dist4;
        dist4 *= 4;
    }
}

}  // namespace ondrel::engine
