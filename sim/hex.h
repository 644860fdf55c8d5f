// Hex text for byte strings: the wire trace and the scenario files write bytes this way.
#pragma once
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace fcp::sim {

using Bytes = std::vector<uint8_t>;

// Upper-case hex digits, two per byte, no separators ("C05200").
std::string HexString(std::span<const uint8_t> bytes);

// Parses pairs of hex digits; spaces between pairs are allowed ("58 B5 be"). nullopt on anything else.
std::optional<Bytes> ParseHexBytes(std::string_view text);

}  // namespace fcp::sim
