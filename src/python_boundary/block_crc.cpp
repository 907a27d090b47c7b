// Carry-less multiplication folds the message 64 bytes at a time (four
// 128-bit lanes) and then 16 at a time, keeping a 128-bit remainder that has
// the same CRC as the bytes folded so far; zlib's table code finishes that
// remainder and the last bytes. Folding a lane forward by D bits multiplies
// its first (higher-degree) 64 bits by x^(D+32) mod P and the other 64 by
// x^(D-32) mod P, both bit-reflected and shifted left by one, as the
// reflected bit order of the product needs.
#include "block_crc.hpp"

#include <zlib.h>

#include <cstdlib>
#include <cstring>
#include <string_view>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define ONDREL_CRC_CLMUL 1
#endif

namespace ondrel::cli {
namespace {

std::uint32_t crc32_zlib(std::span<const unsigned char> bytes, std::uint32_t seed) noexcept {
    // crc32_z takes a size_t length, so nothing is cut at 4 GiB.
    return static_cast<std::uint32_t>(crc32_z(seed, bytes.data(), bytes.size()));
}

#ifdef ONDREL_CRC_CLMUL
// Below this, the table code is as fast and there is not one whole fold.
constexpr std::size_t CLMUL_MIN_BYTES = 64;

__attribute__((target("pclmul,sse4.1"))) inline __m128i fold(__m128i lane, __m128i constants,
                                                             __m128i next) noexcept {
    const __m128i first = _mm_clmulepi64_si128(lane, constants, 0x00);
    const __m128i second = _mm_clmulepi64_si128(lane, constants, 0x11);
    return _mm_xor_si128(_mm_xor_si128(first, second), next);
}

// x^544 and x^480 mod P (fold by 512 bits); x^160 and x^96 (by 128);
// x^2080 and x^2016 (by 2048).
constexpr long long BY512_FIRST = 0x154442bd4, BY512_SECOND = 0x1c6e41596;
constexpr long long BY128_FIRST = 0x1751997d0, BY128_SECOND = 0x0ccaa009e;
constexpr long long BY2048_FIRST = 0x11542778a, BY2048_SECOND = 0x1322d1430;

// The CRC of the 64 bytes of four lanes (lane0 first) followed by `left`
// more bytes at `at`: folds the lanes into one, then 16 bytes at a time,
// and lets zlib's code take the 16-byte remainder and the last bytes.
// `rest` followed by those bytes has the CRC of the whole message from a
// register of zero (zlib's seed ~0).
__attribute__((target("pclmul,sse4.1"))) std::uint32_t finish(__m128i lane0, __m128i lane1, __m128i lane2,
                                                              __m128i lane3, const unsigned char* at,
                                                              std::size_t left) noexcept {
    const __m128i by128 = _mm_set_epi64x(BY128_SECOND, BY128_FIRST);
    __m128i rest = fold(fold(fold(lane0, by128, lane1), by128, lane2), by128, lane3);
    for (; left >= 16; at += 16, left -= 16)
        rest = fold(rest, by128, _mm_loadu_si128(reinterpret_cast<const __m128i*>(at)));
    alignas(16) unsigned char remainder[16];
    _mm_store_si128(reinterpret_cast<__m128i*>(remainder), rest);
    const std::uint32_t folded = crc32_zlib(remainder, 0xFFFFFFFFu);
    return crc32_zlib({at, left}, folded);
}

__attribute__((target("pclmul,sse4.1"))) std::uint32_t crc32_clmul(std::span<const unsigned char> bytes,
                                                                   std::uint32_t seed) noexcept {
    if (bytes.size() < CLMUL_MIN_BYTES) return crc32_zlib(bytes, seed);
    const unsigned char* at = bytes.data();
    std::size_t left = bytes.size();
    auto load = [&at](std::size_t offset) noexcept {
        return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at + offset));
    };
    const __m128i by512 = _mm_set_epi64x(BY512_SECOND, BY512_FIRST);

    // The register state ~seed enters as the first four message bytes.
    __m128i lane0 = _mm_xor_si128(load(0), _mm_cvtsi32_si128(static_cast<int>(~seed)));
    __m128i lane1 = load(16);
    __m128i lane2 = load(32);
    __m128i lane3 = load(48);
    at += 64;
    left -= 64;
    for (; left >= 64; at += 64, left -= 64) {
        lane0 = fold(lane0, by512, load(0));
        lane1 = fold(lane1, by512, load(16));
        lane2 = fold(lane2, by512, load(32));
        lane3 = fold(lane3, by512, load(48));
    }
    return finish(lane0, lane1, lane2, lane3, at, left);
}

// The same with 512-bit registers of four lanes each: four registers fold
// 256 bytes a step.
constexpr std::size_t WIDE_MIN_BYTES = 256;

#define ONDREL_WIDE_TARGET __attribute__((target("avx512f,avx512vl,vpclmulqdq,pclmul,sse4.1")))

ONDREL_WIDE_TARGET inline __m512i fold_wide(__m512i lanes, __m512i constants, __m512i next) noexcept {
    const __m512i first = _mm512_clmulepi64_epi128(lanes, constants, 0x00);
    const __m512i second = _mm512_clmulepi64_epi128(lanes, constants, 0x11);
    return _mm512_ternarylogic_epi64(first, second, next, 0x96);  // a ^ b ^ c
}

ONDREL_WIDE_TARGET inline __m512i load_wide(const unsigned char* at) noexcept { return _mm512_loadu_si512(at); }

ONDREL_WIDE_TARGET std::uint32_t crc32_wide(std::span<const unsigned char> bytes, std::uint32_t seed) noexcept {
    if (bytes.size() < WIDE_MIN_BYTES) return crc32_clmul(bytes, seed);
    const unsigned char* at = bytes.data();
    std::size_t left = bytes.size();
    const __m512i by2048 = _mm512_set4_epi64(BY2048_SECOND, BY2048_FIRST, BY2048_SECOND, BY2048_FIRST);
    const __m512i by512 = _mm512_set4_epi64(BY512_SECOND, BY512_FIRST, BY512_SECOND, BY512_FIRST);

    __m512i wide0 = _mm512_xor_si512(load_wide(at + 0), _mm512_zextsi128_si512(_mm_cvtsi32_si128(static_cast<int>(~seed))));
    __m512i wide1 = load_wide(at + 64);
    __m512i wide2 = load_wide(at + 128);
    __m512i wide3 = load_wide(at + 192);
    at += 256;
    left -= 256;
    for (; left >= 256; at += 256, left -= 256) {
        wide0 = fold_wide(wide0, by2048, load_wide(at + 0));
        wide1 = fold_wide(wide1, by2048, load_wide(at + 64));
        wide2 = fold_wide(wide2, by2048, load_wide(at + 128));
        wide3 = fold_wide(wide3, by2048, load_wide(at + 192));
    }
    __m512i rest = fold_wide(fold_wide(fold_wide(wide0, by512, wide1), by512, wide2), by512, wide3);
    for (; left >= 64; at += 64, left -= 64) rest = fold_wide(rest, by512, load_wide(at + 0));
    return finish(_mm512_extracti32x4_epi32(rest, 0), _mm512_extracti32x4_epi32(rest, 1),
                  _mm512_extracti32x4_epi32(rest, 2), _mm512_extracti32x4_epi32(rest, 3), at, left);
}
#endif

using Crc32 = std::uint32_t (*)(std::span<const unsigned char>, std::uint32_t) noexcept;

struct Choice {
    Crc32 function;
    const char* kind;
};

Choice choose() noexcept {
#ifdef ONDREL_CRC_CLMUL
    // Kernel sets without AVX-512 stand for CPUs without the wide form, the
    // baseline ones for CPUs without carry-less multiplication.
    const char* forced = std::getenv("ONDREL_EC_KERNEL");
    const std::string_view set = forced != nullptr ? forced : "";
    const bool portable = set == "scalar" || set == "ssse3";
    const bool narrow = portable || set == "avx2";
    __builtin_cpu_init();
    const bool clmul = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
    if (!narrow && clmul && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
        __builtin_cpu_supports("vpclmulqdq"))
        return {crc32_wide, "vpclmul"};
    if (!portable && clmul) return {crc32_clmul, "pclmul"};
#endif
    return {crc32_zlib, "zlib"};
}

const Choice& chosen() noexcept {
    static const Choice choice = choose();
    return choice;
}

}  // namespace

std::uint32_t block_crc32(std::span<const unsigned char> bytes, std::uint32_t seed) noexcept {
    return chosen().function(bytes, seed);
}

const char* block_crc32_kind() noexcept { return chosen().kind; }

}  // namespace ondrel::cli
