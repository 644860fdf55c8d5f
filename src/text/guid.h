// A GUID in the platform's memory layout, parsed at compile time from its registry text form. Header
// only and free of dependencies: the ports, the shared texts and the simulation all name GUIDs with it.
#pragma once
#include <array>
#include <cstdint>
#include <string_view>

namespace fcp::text {

struct Guid {
  uint32_t data1 = 0;
  uint16_t data2 = 0;
  uint16_t data3 = 0;
  std::array<uint8_t, 8> data4{};

  friend constexpr bool operator==(const Guid&, const Guid&) = default;

  // The 16 bytes as a GUID is stored in memory and in USB descriptors (first three fields little-endian).
  constexpr std::array<uint8_t, 16> Bytes() const {
    return {static_cast<uint8_t>(data1), static_cast<uint8_t>(data1 >> 8),
            static_cast<uint8_t>(data1 >> 16), static_cast<uint8_t>(data1 >> 24),
            static_cast<uint8_t>(data2), static_cast<uint8_t>(data2 >> 8),
            static_cast<uint8_t>(data3), static_cast<uint8_t>(data3 >> 8),
            data4[0], data4[1], data4[2], data4[3], data4[4], data4[5], data4[6], data4[7]};
  }
  static constexpr Guid FromBytes(const uint8_t* b) {
    Guid g;
    g.data1 = uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
    g.data2 = static_cast<uint16_t>(b[4] | b[5] << 8);
    g.data3 = static_cast<uint16_t>(b[6] | b[7] << 8);
    for (int i = 0; i < 8; ++i) g.data4[i] = b[8 + i];
    return g;
  }
};

namespace detail {
constexpr int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}
}  // namespace detail

// Parses "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" (braces optional). Returns false on any other shape.
constexpr bool ParseGuid(std::string_view text, Guid& out) {
  if (text.size() == 38 && text.front() == '{' && text.back() == '}') text = text.substr(1, 36);
  if (text.size() != 36) return false;
  uint8_t bytes[16] = {};
  int n = 0;
  for (size_t i = 0; i < text.size();) {
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (text[i] != '-') return false;
      ++i;
      continue;
    }
    const int hi = detail::HexDigit(text[i]);
    const int lo = detail::HexDigit(text[i + 1]);
    if (hi < 0 || lo < 0) return false;
    bytes[n++] = static_cast<uint8_t>(hi << 4 | lo);
    i += 2;
  }
  // Text order is big-endian for the first three fields.
  out.data1 = uint32_t(bytes[0]) << 24 | uint32_t(bytes[1]) << 16 | uint32_t(bytes[2]) << 8 | bytes[3];
  out.data2 = static_cast<uint16_t>(bytes[4] << 8 | bytes[5]);
  out.data3 = static_cast<uint16_t>(bytes[6] << 8 | bytes[7]);
  for (int i = 0; i < 8; ++i) out.data4[i] = bytes[8 + i];
  return true;
}

// For constants known at compile time; an ill-formed text fails the build.
consteval Guid GuidOf(std::string_view text) {
  Guid g;
  if (!ParseGuid(text, g)) throw "ill-formed GUID text";
  return g;
}

}  // namespace fcp::text
