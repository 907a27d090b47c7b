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

__attribute__((target("pclmul,sse4.1"))) std::uint32_t crc32_clmul(std::span<const unsigned char> bytes,
                                                                   std::uint32_t seed) noexcept {
    if (bytes.size() < CLMUL_MIN_BYTES) return crc32_zlib(bytes, seed);
    const unsigned char* at = bytes.data();
    std::size_t left = bytes.size();
    auto load = [&at](std::size_t offset) noexcept {
        return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at + offset));
    };
    // x^544 and x^480 mod P (fold by 512 bits); x^160 and x^96 (by 128).
    const __m128i by512 = _mm_set_epi64x(0x1c6e41596, 0x154442bd4);
    const __m128i by128 = _mm_set_epi64x(0x0ccaa009e, 0x1751997d0);

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
    __m128i rest = fold(fold(fold(lane0, by128, lane1), by128, lane2), by128, lane3);
    for (; left >= 16; at += 16, left -= 16) rest = fold(rest, by128, load(0));

    // `rest` followed by the last bytes has the CRC of the whole message,
    // from a register of zero (zlib's seed ~0).
    alignas(16) unsigned char remainder[16];
    _mm_store_si128(reinterpret_cast<__m128i*>(remainder), rest);
    const std::uint32_t folded = crc32_zlib(remainder, 0xFFFFFFFFu);
    return crc32_zlib({at, left}, folded);
}
#endif

using Crc32 = std::uint32_t (*)(std::span<const unsigned char>, std::uint32_t) noexcept;

struct Choice {
    Crc32 function;
    const char* kind;
};

Choice choose() noexcept {
#ifdef ONDREL_CRC_CLMUL
    const char* forced = std::getenv("ONDREL_EC_KERNEL");
    const bool portable = forced != nullptr && (std::string_view(forced) == "scalar" ||
                                                std::string_view(forced) == "ssse3");
    __builtin_cpu_init();
    if (!portable && __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1"))
        return {crc32_clmul, "pclmul"};
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
