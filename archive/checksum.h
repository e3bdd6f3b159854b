// The checksum of a member's content: CRC-32C (the Castagnoli polynomial,
// reflected, 0x82F63B78; initial value and final xor 0xFFFFFFFF), the CRC
// of iSCSI and ext4. "123456789" gives 0xE3069283, no bytes give 0.
#pragma once

#include <cstddef>
#include <cstdint>

// The checksum of no bytes, and the running value to start from.
constexpr std::uint32_t SFX_CRC_EMPTY = 0;

// The checksum of what `crc` covered followed by n bytes at data:
// sfx_crc32c(sfx_crc32c(0, a), b) is the checksum of a then b.
std::uint32_t sfx_crc32c(std::uint32_t crc, const void* data, std::size_t n);
