#include "passthrough/image_version.h"

#include <algorithm>
#include <cstring>

namespace fcp::passthrough {
namespace {

// The block's header is three 16-bit words (length, value length, type), then the key in UTF-16 with
// its terminator, then padding to a 32-bit boundary, then the value: VS_FIXEDFILEINFO.
constexpr char16_t kKey[] = u"VS_VERSION_INFO";
constexpr size_t kKeyBytes = sizeof kKey;  // with the terminator
constexpr size_t kHeaderBytes = 6;
constexpr size_t kValueOffset = (kHeaderBytes + kKeyBytes + 3) & ~size_t(3);
constexpr uint32_t kFixedSignature = 0xFEEF04BD;
constexpr size_t kFixedInfoBytes = 52;

uint16_t Word(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }
uint32_t Dword(const uint8_t* p) { return uint32_t(Word(p)) | uint32_t(Word(p + 2)) << 16; }
void PutWord(uint8_t* p, uint16_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
}
void PutDword(uint8_t* p, uint32_t v) {
  PutWord(p, uint16_t(v));
  PutWord(p + 2, uint16_t(v >> 16));
}

std::vector<uint8_t> KeyBytes() {
  std::vector<uint8_t> bytes(kKeyBytes);
  for (size_t i = 0; i < kKeyBytes / 2; ++i) PutWord(&bytes[2 * i], uint16_t(kKey[i]));
  return bytes;
}

}  // namespace

std::optional<os::FileVersion> ImageFileVersion(const std::vector<uint8_t>& image) {
  const std::vector<uint8_t> key = KeyBytes();
  auto at = image.begin();
  while ((at = std::search(at, image.end(), key.begin(), key.end())) != image.end()) {
    const size_t key_offset = size_t(at - image.begin());
    ++at;
    if (key_offset < kHeaderBytes) continue;
    const size_t block = key_offset - kHeaderBytes;
    const size_t value = block + kValueOffset;
    if (image.size() - block < kValueOffset + kFixedInfoBytes) continue;
    if (Word(&image[block + 2]) < kFixedInfoBytes || Dword(&image[value]) != kFixedSignature) continue;
    const uint32_t ms = Dword(&image[value + 8]), ls = Dword(&image[value + 12]);
    return os::FileVersion{{uint16_t(ms >> 16), uint16_t(ms), uint16_t(ls >> 16), uint16_t(ls)}};
  }
  return std::nullopt;
}

std::vector<uint8_t> VersionInfoBlock(os::FileVersion version) {
  std::vector<uint8_t> block(kValueOffset + kFixedInfoBytes, 0);
  PutWord(&block[0], uint16_t(block.size()));
  PutWord(&block[2], uint16_t(kFixedInfoBytes));
  const std::vector<uint8_t> key = KeyBytes();
  std::copy(key.begin(), key.end(), block.begin() + kHeaderBytes);
  uint8_t* fixed = &block[kValueOffset];
  PutDword(fixed, kFixedSignature);
  PutDword(fixed + 4, 0x00010000);  // structure version 1.0
  PutDword(fixed + 8, uint32_t(version.part[0]) << 16 | version.part[1]);
  PutDword(fixed + 12, uint32_t(version.part[2]) << 16 | version.part[3]);
  PutDword(fixed + 16, uint32_t(version.part[0]) << 16 | version.part[1]);  // product version: the same
  PutDword(fixed + 20, uint32_t(version.part[2]) << 16 | version.part[3]);
  return block;
}

}  // namespace fcp::passthrough
