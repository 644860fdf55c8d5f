// Finding the DFU functional descriptor among extra descriptor bytes, and settling a short one.
#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "dfu/diagnostic.h"
#include "dfu/functional_descriptor.h"

namespace fcp::dfu {
namespace {

std::vector<uint8_t> Bytes(std::initializer_list<int> values) {
  std::vector<uint8_t> bytes;
  for (int v : values) bytes.push_back(static_cast<uint8_t>(v));
  return bytes;
}

std::vector<uint8_t> Raw(const DfuFunctionalDescriptor& d) {
  std::vector<uint8_t> bytes(sizeof d);
  std::memcpy(bytes.data(), &d, sizeof d);
  return bytes;
}

struct WalkCase {
  const char* what;
  std::vector<uint8_t> block;
  int length;  // may claim less than the block holds
  DescriptorSearch expected;
  std::vector<uint8_t> descriptor;  // the 9 bytes afterwards
};

// Test names and failure messages show the case by its description.
void PrintTo(const WalkCase& c, std::ostream* os) { *os << c.what; }

const std::vector<uint8_t> kFull = Bytes({0x09, 0x21, 0x0B, 0xFF, 0x00, 0x00, 0x04, 0x1A, 0x01});

class DescriptorWalk : public testing::TestWithParam<WalkCase> {};

TEST_P(DescriptorWalk, FindsCopiesAndStopsWithinTheBlock) {
  const WalkCase& c = GetParam();
  ClearDiagnostic();
  DfuFunctionalDescriptor out{};
  // A copy of exactly `length` bytes on the heap, so that ASan sees any read past the block.
  std::vector<uint8_t> block(c.block.begin(), c.block.begin() + c.length);
  EXPECT_EQ(FindFunctionalDescriptor(block.data(), c.length, out), c.expected);
  EXPECT_EQ(Raw(out), c.descriptor);
  EXPECT_EQ(std::string(Diagnostic()),
            c.expected == DescriptorSearch::kInvalidList ? "Invalid descriptor list" : "");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DescriptorWalk,
    testing::Values(
        WalkCase{"empty", {}, 0, DescriptorSearch::kNotFound, std::vector<uint8_t>(9)},
        WalkCase{"one byte is no descriptor", Bytes({0x21}), 1, DescriptorSearch::kNotFound, std::vector<uint8_t>(9)},
        WalkCase{"at the start", kFull, 9, DescriptorSearch::kFound, kFull},
        WalkCase{"after another descriptor",
                 Bytes({0x05, 0x24, 0x00, 0x10, 0x01, 0x09, 0x21, 0x0B, 0xFF, 0x00, 0x00, 0x04, 0x1A, 0x01}), 14,
                 DescriptorSearch::kFound, kFull},
        WalkCase{"longer than nine: nine copied",
                 Bytes({0x0C, 0x21, 0x0B, 0xFF, 0x00, 0x00, 0x04, 0x1A, 0x01, 0xEE, 0xEE, 0xEE}), 12,
                 DescriptorSearch::kFound, Bytes({0x0C, 0x21, 0x0B, 0xFF, 0x00, 0x00, 0x04, 0x1A, 0x01})},
        WalkCase{"seven bytes: the rest stays zero", Bytes({0x07, 0x21, 0x01, 0x10, 0x00, 0x00, 0x02}), 7,
                 DescriptorSearch::kFound, Bytes({0x07, 0x21, 0x01, 0x10, 0x00, 0x00, 0x02, 0, 0})},
        WalkCase{"length runs past the block: cut to the block", Bytes({0x04, 0x24, 0, 0, 0x09, 0x21, 0x0B}), 7,
                 DescriptorSearch::kFound, Bytes({0x09, 0x21, 0x0B, 0, 0, 0, 0, 0, 0})},
        WalkCase{"type in the very last byte", Bytes({0x02, 0x24, 0x09, 0x21}), 4, DescriptorSearch::kFound,
                 Bytes({0x09, 0x21, 0, 0, 0, 0, 0, 0, 0})},
        WalkCase{"a descriptor of length 0 ends the walk", Bytes({0x03, 0x24, 0x00, 0x00, 0x21, 0x09, 0x21}), 7,
                 DescriptorSearch::kInvalidList, std::vector<uint8_t>(9)},
        WalkCase{"a length that jumps past the end", Bytes({0xFF, 0x24, 0x09, 0x21, 0, 0, 0, 0, 0}), 9,
                 DescriptorSearch::kNotFound, std::vector<uint8_t>(9)},
        WalkCase{"claimed length shorter than the bytes", kFull, 1, DescriptorSearch::kNotFound,
                 std::vector<uint8_t>(9)}),
    [](const testing::TestParamInfo<WalkCase>& info) {
      std::string name = info.param.what;
      for (char& ch : name)
        if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
      return name;
    });

TEST(DescriptorWalk, NullBlockIsEmpty) {
  DfuFunctionalDescriptor out{};
  EXPECT_EQ(FindFunctionalDescriptor(nullptr, 9, out), DescriptorSearch::kNotFound);
}

struct LengthCase {
  uint8_t bLength;
  uint16_t expected_version;
  uint16_t expected_transfer_size;
  const char* expected_output;
};

class FunctionalDescriptorLength : public testing::TestWithParam<LengthCase> {};

TEST_P(FunctionalDescriptorLength, SettlesVersionAndTransferSize) {
  const LengthCase& c = GetParam();
  DfuFunctionalDescriptor d{};
  d.bLength = c.bLength;
  d.bDescriptorType = kFunctionalDescriptorType;
  d.wTransferSize = 0x0400;
  d.bcdDFUVersion = 0x011A;
  testing::internal::CaptureStdout();
  ApplyFunctionalDescriptorLength(d);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), c.expected_output);
  // Packed fields are read by value: a reference to one would be misaligned.
  EXPECT_EQ(uint16_t{d.bcdDFUVersion}, c.expected_version);
  EXPECT_EQ(uint16_t{d.wTransferSize}, c.expected_transfer_size);
}

constexpr char kShortDescriptorOutput[] =
    "Error obtaining DFU functional descriptor\n"
    "Please report this as a bug!\n"
    "Warning: Assuming DFU version 1.0\n"
    "Warning: Transfer size can not be detected\n";

INSTANTIATE_TEST_SUITE_P(
    Lengths, FunctionalDescriptorLength,
    testing::Values(LengthCase{7, 0x0100, 0x0400, "Deducing device DFU version from functional descriptor length\n"},
                    LengthCase{0, 0x0100, 0, kShortDescriptorOutput},
                    LengthCase{6, 0x0100, 0, kShortDescriptorOutput},
                    LengthCase{8, 0x0100, 0, kShortDescriptorOutput},
                    LengthCase{9, 0x011A, 0x0400, ""},
                    LengthCase{12, 0x011A, 0x0400, ""}));

}  // namespace
}  // namespace fcp::dfu
