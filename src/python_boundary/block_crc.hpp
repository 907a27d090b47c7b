// CRC-32 (zlib's: reflected polynomial 0xEDB88320, pre- and post-inverted)
// of the command's blocks, by carry-less multiplication where the CPU has it.
#pragma once

#include <cstdint>
#include <span>

namespace ondrel::cli {

// zlib.crc32(bytes, seed): the same value for every input on every CPU.
// `bytes` is only read during the call. Thread-safe.
[[nodiscard]] std::uint32_t block_crc32(std::span<const unsigned char> bytes, std::uint32_t seed) noexcept;

// Which code block_crc32 runs: "vpclmul" (512-bit carry-less
// multiplication), "pclmul" (128-bit) or "zlib". Chosen once, at the first
// call of either function, from the CPU; ONDREL_EC_KERNEL narrows the choice
// as the kernel set it names stands for a CPU without AVX-512 ("avx2": the
// 128-bit code) or without carry-less multiplication ("scalar", "ssse3":
// zlib's portable code), so that every form is tested on any host.
[[nodiscard]] const char* block_crc32_kind() noexcept;

}  // namespace ondrel::cli
