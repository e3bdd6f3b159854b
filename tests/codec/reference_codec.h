// A plain, slow transcription of the codec, for differential tests.
#pragma once

#include <cstdint>
#include <vector>

namespace ref {
std::vector<std::uint8_t> compress(const std::vector<std::uint8_t>& in);
// Decodes the whole stream as its size header says; *overread gets the bytes
// read past the end.
std::vector<std::uint8_t> decompress(const std::vector<std::uint8_t>& in, std::uint32_t* overread);
}  // namespace ref
