// The version the installer reads from a driver image's bytes: found wherever the resource sits, and
// nothing taken from a block that is cut short or not the fixed information.
#include <gtest/gtest.h>

#include "passthrough/image_version.h"

namespace fcp::passthrough {
namespace {

TEST(ImageFileVersion, FoundInPlaceAndRefusedWhenMalformed) {
  const os::FileVersion version{{10, 2, 300, 4000}};
  const std::vector<uint8_t> block = VersionInfoBlock(version);
  auto with = [&](size_t before, std::vector<uint8_t> middle, size_t after) {
    std::vector<uint8_t> image(before, 0x4D);
    image.insert(image.end(), middle.begin(), middle.end());
    image.insert(image.end(), after, 0);
    return image;
  };
  auto changed = [&](size_t offset, uint8_t value) {
    std::vector<uint8_t> b = block;
    b[offset] = value;
    return b;
  };
  struct Case {
    const char* what;
    std::vector<uint8_t> image;
    std::optional<os::FileVersion> expected;
  };
  const Case cases[] = {
      {"at an odd offset", with(0x1235, block, 64), version},
      {"the block ends the image", with(16, block, 0), version},
      {"cut short by one byte", with(16, std::vector<uint8_t>(block.begin(), block.end() - 1), 0), std::nullopt},
      {"key at the very start, no room for its header", with(0, {block.begin() + 6, block.end()}, 64), std::nullopt},
      {"wrong signature", with(16, changed(40, 0xBC), 16), std::nullopt},
      {"value too short for the fixed information", with(16, changed(2, 51), 16), std::nullopt},
      {"a broken block, then a good one", [&] {
         std::vector<uint8_t> image = with(16, changed(40, 0), 8);
         const std::vector<uint8_t> good = with(3, block, 0);
         image.insert(image.end(), good.begin(), good.end());
         return image;
       }(), version},
      {"no resource", std::vector<uint8_t>(4096, 0xCC), std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(ImageFileVersion(c.image), c.expected);
  }
}

}  // namespace
}  // namespace fcp::passthrough
