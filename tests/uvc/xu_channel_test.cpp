// The extension-unit protocol against an in-test unit that logs every request.
#include <gtest/gtest.h>

#include <vector>

#include "fake_ports.h"
#include "uvc/uvc.h"

namespace fcp::uvc::test {
namespace {

constexpr uint32_t kGet = 0x10000001;
constexpr uint32_t kSet = 0x10000002;
const HRESULT kGenFailure = os::HresultFromWin32(ERROR_GEN_FAILURE);

class XuChannel : public ::testing::Test {
 protected:
  void SetUp() override {
    camera_ = &ports_.AddCamera(0xFC01, 0x0A01, 0, L"6&1&0&0000", L"001.001.000.000.000.000");
    // Three nodes: an ordinary one, a vendor node of another unit, then ours.
    camera_->nodes = {FakeNode{.type = text::Guid{.data1 = 7}}, FakeNode{.unit_set = text::Guid{.data1 = 9}}, FakeNode{}};
    for (uint32_t i = 0; i < 16; ++i) camera_->memory[0x40100000 + i] = static_cast<uint8_t>(0xA0 + i);
  }
  void TearDown() override { UVC_Close(); }

  // Opens the camera and forgets the open's own requests.
  void Open() {
    camera_->fail_request.reset();
    ASSERT_TRUE(UVC_OpenByIndex(0));
    ports_.video_inputs.log.clear();
    camera_->requests = 0;
  }

  static UnitRequest Set(Block data) { return {2, kCommandControl, kSet, data}; }
  static UnitRequest Get(uint32_t control, Block data) { return {2, control, kGet, data}; }

  FakePorts ports_;
  FakeCamera* camera_ = nullptr;
};

TEST_F(XuChannel, OpenQualifiesAndReadsTheSixteenStatusPieces) {
  for (size_t i = 0; i < camera_->status.size(); ++i) camera_->status[i] = static_cast<uint8_t>(i * 3);
  ASSERT_TRUE(UVC_OpenByIndex(0));
  // One support query per vendor node up to the unit.
  EXPECT_EQ(ports_.video_inputs.support_queries, 2);
  std::vector<UnitRequest> expected = {Set({0x00, 0xD0, 0, 0, 8, 0, 0, 0}),
                                       Get(kDataControl, {'V', 'O', 'L', 'K', 'T', 'A', 'R', 0})};
  for (uint8_t piece = 0; piece < 16; ++piece) {
    expected.push_back(Set({0x00, 0xCD, piece, 0, 8, 0, 0, 0}));
    Block bytes;
    for (uint8_t i = 0; i < 8; ++i) bytes[i] = static_cast<uint8_t>((piece * 8 + i) * 3);
    expected.push_back(Get(kDataControl, bytes));
  }
  EXPECT_EQ(ports_.video_inputs.log, expected);
  uint32_t node = 0;
  ASSERT_TRUE(UVC_FindExtensionUnit(node));
  EXPECT_EQ(node, 2u);
}

TEST_F(XuChannel, ReadMemSendsOneCommandAndEightBytePieces) {
  const struct {
    uint32_t length;
    size_t reads;
  } cases[] = {{0, 0}, {1, 1}, {4, 1}, {8, 1}, {9, 2}};
  Open();
  for (const auto& test : cases) {
    SCOPED_TRACE(test.length);
    ports_.video_inputs.log.clear();
    std::vector<uint8_t> buffer(test.length + 4, 0x55);
    ASSERT_TRUE(UVC_ReadMem(0x40100000, buffer.data(), test.length));
    const auto& log = ports_.video_inputs.log;
    ASSERT_EQ(log.size(), 1 + test.reads);
    EXPECT_EQ(log[0], Set({0x00, 0xC2, 0x00, 0x00, static_cast<uint8_t>(test.length), 0, 0x10, 0x40}));
    for (size_t i = 1; i < log.size(); ++i) EXPECT_EQ(log[i].control, kDataControl);
    for (uint32_t i = 0; i < test.length; ++i) EXPECT_EQ(buffer[i], 0xA0 + i) << i;
    for (size_t i = test.length; i < buffer.size(); ++i) EXPECT_EQ(buffer[i], 0x55) << "written past the length";
  }
  // Address bytes 2, 3, 6, 7 and the 16-bit length.
  ports_.video_inputs.log.clear();
  std::vector<uint8_t> big(0x1234);
  ASSERT_TRUE(UVC_ReadMem(0x401002E4, big.data(), 0x1234));
  EXPECT_EQ(ports_.video_inputs.log[0], Set({0x00, 0xC2, 0xE4, 0x02, 0x34, 0x12, 0x10, 0x40}));
  EXPECT_EQ(ports_.video_inputs.log.size(), 1u + 0x1234 / 8 + 1);
  // A length the command cannot carry is refused before anything is sent.
  ports_.video_inputs.log.clear();
  std::vector<uint8_t> huge(0x10000);
  EXPECT_FALSE(UVC_ReadMem(0, huge.data(), 0x10000));
  EXPECT_TRUE(ports_.video_inputs.log.empty());
}

// A failed request is followed by one status read and one abort, except after E_NOINTERFACE or
// ERROR_GEN_FAILURE; and only once per failed operation.
TEST_F(XuChannel, RecoveryOncePerFailedOperation) {
  const UnitRequest status_read = Get(kCommandControl, {0xFE, 0, 0, 0, 0, 0, 0, 0});
  const UnitRequest abort = Set({0xFF, 0, 0, 0, 0, 0, 0, 0});
  const struct {
    const char* name;
    size_t fail_at;  // 0-based request of the operation
    HRESULT fail_with;
    size_t requests_before_recovery;
  } cases[] = {
      {"command write", 0, E_FAIL, 1},
      {"first data read", 1, static_cast<HRESULT>(0x80070079u), 2},
      {"second data read", 2, E_FAIL, 3},
      {"no interface", 1, E_NOINTERFACE, 2},
      {"device gone", 2, kGenFailure, 3},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.name);
    Open();
    camera_->fail_request = test.fail_at;
    camera_->fail_with = test.fail_with;
    uint8_t buffer[16];
    EXPECT_FALSE(UVC_ReadMem(0x40100000, buffer, 16));
    const auto& log = ports_.video_inputs.log;
    const bool recovers = test.fail_with != E_NOINTERFACE && test.fail_with != kGenFailure;
    ASSERT_EQ(log.size(), test.requests_before_recovery + (recovers ? 2 : 0));
    if (recovers) {
      EXPECT_EQ(log[log.size() - 2], status_read);
      EXPECT_EQ(log.back(), abort);
    }
  }
  // A failing status read or abort is not recovered again.
  Open();
  camera_->fail_request = 0;
  camera_->fail_with = E_FAIL;
  ports_.video_inputs.log.clear();
  UVC_Recover(E_FAIL);
  EXPECT_EQ(ports_.video_inputs.log.size(), 2u);
  // Qualify and the status block recover the same way.
  Open();
  camera_->fail_request = 1;
  EXPECT_FALSE(UVC_DevQualify());
  EXPECT_EQ(ports_.video_inputs.log.size(), 4u);
  Open();
  camera_->fail_request = 6;  // the fourth piece's command
  camera_->status.fill(0x77);
  EXPECT_FALSE(UVC_GetDevStatus());
  EXPECT_EQ(ports_.video_inputs.log.size(), 9u);
  EXPECT_EQ(ports_.video_inputs.log[7], status_read);
}

TEST_F(XuChannel, SignatureMustMatchAllEightBytes) {
  Open();
  EXPECT_TRUE(UVC_DevQualify());
  camera_->signature[7] = 'S';
  ports_.video_inputs.log.clear();
  EXPECT_FALSE(UVC_DevQualify());
  EXPECT_EQ(ports_.video_inputs.log.size(), 2u);  // a wrong answer is no failed request: no recovery
}

TEST_F(XuChannel, ControlPrimitives) {
  Open();
  uint8_t small[3] = {9, 9, 9};
  const uint8_t command[8] = {0x00, 0xC2, 0x00, 0x00, 0x08, 0x00, 0x10, 0x40};
  EXPECT_EQ(UVC_SetControl(kCommandControl, command), S_OK);
  EXPECT_EQ(UVC_GetControl(kDataControl, small, 2), S_OK);
  EXPECT_EQ(small[0], 0xA0);
  EXPECT_EQ(small[1], 0xA1);
  EXPECT_EQ(small[2], 9);
  uint8_t data[8];
  EXPECT_FALSE(UVC_CommandRead(command, data, 9));
  EXPECT_EQ(ports_.video_inputs.log.size(), 2u);  // nothing sent for a count above 8
  ASSERT_TRUE(UVC_CommandRead(command, data, 8));
  EXPECT_EQ(data[7], 0xA7);
  // A failed request of a primitive runs no recovery.
  camera_->fail_request = camera_->requests;
  EXPECT_EQ(UVC_SetControl(kCommandControl, command), E_FAIL);
  EXPECT_EQ(ports_.video_inputs.log.size(), 5u);

  UVC_Close();
  ports_.video_inputs.log.clear();
  EXPECT_EQ(UVC_SetControl(kCommandControl, command), E_FAIL);
  EXPECT_EQ(UVC_GetControl(kDataControl, data, 8), E_FAIL);
  EXPECT_FALSE(UVC_ReadMem(0x40100000, data, 4));
  EXPECT_TRUE(ports_.video_inputs.log.empty());
}

TEST_F(XuChannel, FindExtensionUnitRules) {
  // A failing node instance ends the search, even though a later node would answer.
  camera_->nodes = {FakeNode{.create = E_FAIL}, FakeNode{}};
  EXPECT_EQ(UVC_GetDeviceCount(), 1);
  EXPECT_FALSE(UVC_OpenByIndex(0));
  // The lowest-numbered node that answers the support query wins.
  camera_->nodes = {FakeNode{.unit_set = text::Guid{}}, FakeNode{}, FakeNode{}};
  ASSERT_TRUE(UVC_OpenByIndex(0));
  uint32_t node = 99;
  ASSERT_TRUE(UVC_FindExtensionUnit(node));
  EXPECT_EQ(node, 1u);
  // A node type that cannot be read ends the search.
  camera_->nodes = {FakeNode{.type_result = E_FAIL}, FakeNode{}};
  EXPECT_FALSE(UVC_OpenByIndex(0));
  UVC_Close();
  EXPECT_FALSE(UVC_FindExtensionUnit(node));
}

TEST(VcmdStatusNames, KnownAndUndefinedCodes) {
  const struct {
    uint8_t b0, b1;
    const wchar_t* name;
  } cases[] = {
      {0x00, 0x00, L"VCMD_STS_CMD"},          {0x01, 0x55, L"VCMD_STS_DATA_IN"},
      {0x02, 0, L"VCMD_STS_DATA_OUT"},        {0x03, 0, L"VCMD_STS_ERR_DIR"},
      {0x04, 0, L"VCMD_STS_NOT_FINISH"},      {0x05, 0, L"VCMD_STS_ERR_LEN"},
      {0x06, 0, L"VCMD_STS_UNKNOWN_SCMD"},    {0x07, 0, L"VCMD_STS_ERR_OUTRANGE"},
      {0x08, 0, L"VCMD_STS_UNKNOWN_CMD"},     {0x09, 0, L"VCMD_STS_HW_ERR"},
      {0xFE, 0x01, L"VCMD_STS_RET_NO_ERR"},   {0x0A, 0x12, L"undefined error code 0x120A"},
      {0xFF, 0x00, L"undefined error code 0x00FF"}, {0xFD, 0xAB, L"undefined error code 0xABFD"},
  };
  for (const auto& test : cases) {
    const uint8_t reply[8] = {test.b0, test.b1, 1, 2, 3, 4, 5, 6};
    EXPECT_EQ(VcmdStatusName(reply), test.name);
  }
}

}  // namespace
}  // namespace fcp::uvc::test
