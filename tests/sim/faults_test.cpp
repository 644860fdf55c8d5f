// Faults fire where they are configured and nowhere else; latency times transfers.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "sim/devices.h"
#include "sim/workstation.h"

namespace fcp::sim {
namespace {

const SetupPacket kReadConfig{0xC0, 0x52, 0, 0, 59};
const SetupPacket kGetDevice{0x80, 0x06, 0x0100, 0, 18};

class Faults : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(ws_.AddDevice(MakeChipCamera("cam0", {1})));
    ASSERT_TRUE(ws_.AddDevice(MakeChipCamera("cam1", {2})));
    cam0_ = ws_.Find("cam0");
    cam1_ = ws_.Find("cam1");
  }
  TransferStatus Send(UsbDevice& device, const SetupPacket& setup) {
    Bytes data(setup.wLength);
    return ws_.ControlTransfer(device, setup, data).status;
  }
  Workstation ws_;
  std::shared_ptr<UsbDevice> cam0_, cam1_;
};

TEST_F(Faults, NthTransferOfOneDeviceOnly) {
  FaultRule rule;
  rule.device = "cam0";
  rule.nth = 3;
  rule.action = FaultAction::kStall;
  ws_.AddFault(rule);
  EXPECT_EQ(Send(*cam0_, kGetDevice), TransferStatus::kOk);
  EXPECT_EQ(Send(*cam1_, kReadConfig), TransferStatus::kOk);  // other device does not count
  EXPECT_EQ(Send(*cam0_, kReadConfig), TransferStatus::kOk);
  EXPECT_EQ(Send(*cam1_, kReadConfig), TransferStatus::kOk);
  EXPECT_EQ(Send(*cam0_, kReadConfig), TransferStatus::kStall);
  EXPECT_EQ(Send(*cam0_, kReadConfig), TransferStatus::kOk);
  EXPECT_EQ(Send(*cam1_, kReadConfig), TransferStatus::kOk);
}

TEST_F(Faults, EveryTransferOfAKind) {
  FaultRule rule;
  rule.device = "cam0";
  rule.match.request_type = 0xC0;
  rule.match.request = 0x52;
  rule.action = FaultAction::kTimeout;
  ws_.AddFault(rule);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(Send(*cam0_, kReadConfig), TransferStatus::kTimeout);
    EXPECT_EQ(Send(*cam0_, kGetDevice), TransferStatus::kOk);
    EXPECT_EQ(Send(*cam1_, kReadConfig), TransferStatus::kOk);
  }
}

TEST_F(Faults, NthOfAKindForAFewTimes) {
  FaultRule rule;
  rule.device = "cam0";
  rule.match.request = 0x52;
  rule.nth = 2;
  rule.times = 2;
  ws_.AddFault(rule);
  EXPECT_EQ(Send(*cam0_, kReadConfig), TransferStatus::kOk);
  EXPECT_EQ(Send(*cam0_, kGetDevice), TransferStatus::kOk);
  EXPECT_EQ(Send(*cam0_, kReadConfig), TransferStatus::kStall);
  EXPECT_EQ(Send(*cam0_, kReadConfig), TransferStatus::kStall);
  EXPECT_EQ(Send(*cam0_, kReadConfig), TransferStatus::kOk);
}

TEST_F(Faults, ShortTransferKeepsTheRestOfTheBuffer) {
  FaultRule rule;
  rule.device = "cam0";
  rule.action = FaultAction::kShort;
  rule.length = 10;
  ws_.AddFault(rule);
  Bytes data(59, 0xEE);
  const TransferResult r = ws_.ControlTransfer(*cam0_, kReadConfig, data);
  ASSERT_TRUE(r.Ok());
  EXPECT_EQ(r.transferred, 10);
  EXPECT_EQ(data[9], cam0_->chip->Config()[9]);
  EXPECT_EQ(data[10], 0xEE);
}

TEST_F(Faults, WrongDataBothWays) {
  FaultRule in;
  in.device = "cam0";
  in.match.request = 0x52;
  in.action = FaultAction::kWrongData;
  ws_.AddFault(in);
  FaultRule out;
  out.device = "cam0";
  out.match.request = 0x51;
  out.action = FaultAction::kWrongData;
  out.data = Bytes{0x5A};
  ws_.AddFault(out);

  Bytes data(4);
  ASSERT_TRUE(ws_.ControlTransfer(*cam0_, {0xC0, 0x52, 0, 0, 4}, data).Ok());
  EXPECT_EQ(data[0], static_cast<uint8_t>(~cam0_->chip->Config()[0]));
  Bytes patch = {1, 2, 3};
  ASSERT_TRUE(ws_.ControlTransfer(*cam0_, {0x40, 0x51, 0, 40, 3}, patch).Ok());
  EXPECT_EQ(cam0_->chip->Config()[40], 0x5A);
  EXPECT_EQ(cam0_->chip->Config()[41], 2);
}

TEST_F(Faults, DisconnectIsForGood) {
  FaultRule rule;
  rule.device = "cam0";
  rule.nth = 2;
  rule.action = FaultAction::kDisconnect;
  ws_.AddFault(rule);
  EXPECT_EQ(Send(*cam0_, kGetDevice), TransferStatus::kOk);
  EXPECT_EQ(Send(*cam0_, kGetDevice), TransferStatus::kNoDevice);
  EXPECT_EQ(Send(*cam0_, kGetDevice), TransferStatus::kNoDevice);
  EXPECT_EQ(ws_.ConnectedDevices().size(), 1u);
  EXPECT_EQ(Send(*cam1_, kGetDevice), TransferStatus::kOk);
}

TEST_F(Faults, PlugEventsReachTheListener) {
  std::vector<std::string> events;
  ws_.SetConnectionListener([&](const UsbDevice& device, bool connected) {
    // The listener may look at the workstation.
    events.push_back(device.Id() + (connected ? " in " : " out ") + std::to_string(ws_.ConnectedDevices().size()));
  });
  FaultRule rule;
  rule.device = "cam0";
  rule.action = FaultAction::kDisconnect;
  ws_.AddFault(rule);
  EXPECT_EQ(Send(*cam0_, kGetDevice), TransferStatus::kNoDevice);
  EXPECT_TRUE(ws_.SetConnected("cam1", false));
  EXPECT_TRUE(ws_.SetConnected("cam1", false));  // no change, no event
  EXPECT_TRUE(ws_.SetConnected("cam0", true));
  EXPECT_FALSE(ws_.SetConnected("nope", true));
  ASSERT_TRUE(ws_.AddDevice(MakeChipCamera("cam2", {3})));
  EXPECT_EQ(events, (std::vector<std::string>{"cam0 out 1", "cam1 out 0", "cam0 in 1", "cam2 in 2"}));
}

TEST_F(Faults, WrongSignatureIsChipState) {
  cam0_->chip->Signature()[7] = '!';
  Bytes qualify = {0, 0xD0, 0, 0, 8, 0, 0, 0};
  ASSERT_TRUE(ws_.ControlTransfer(*cam0_, {0x21, 0x01, 0x0A00, 0x0400, 8}, qualify).Ok());
  Bytes answer(8);
  ASSERT_TRUE(ws_.ControlTransfer(*cam0_, {0xA1, 0x81, 0x0B00, 0x0400, 8}, answer).Ok());
  EXPECT_EQ(answer, (Bytes{'V', 'O', 'L', 'K', 'T', 'A', 'R', '!'}));
}

TEST_F(Faults, LatencyAddsUpAndTimesOut) {
  cam0_->latency = std::chrono::microseconds(1500);
  ws_.SetDefaultLatency(std::chrono::microseconds(100));
  Bytes data(59);
  EXPECT_TRUE(ws_.ControlTransfer(*cam0_, kReadConfig, data, 2).Ok());
  EXPECT_TRUE(ws_.ControlTransfer(*cam1_, kReadConfig, data, 2).Ok());
  EXPECT_EQ(ws_.UsbTime(), std::chrono::microseconds(1600));
  EXPECT_EQ(ws_.ControlTransfer(*cam0_, kReadConfig, data, 1).status, TransferStatus::kTimeout);
  EXPECT_EQ(ws_.UsbTime(), std::chrono::microseconds(2600));
}

TEST_F(Faults, IdleTimeNeverShortensTheTransfersAfterIt) {
  // What a sleep overran is taken off the next transfer's sleep, but never more than one transfer's
  // time, and the time between transfers never counts: ten transfers of 2 ms after a pause last
  // at least 18 ms.
  using namespace std::chrono_literals;
  cam0_->latency = 2ms;
  Bytes data(59);
  ASSERT_TRUE(ws_.ControlTransfer(*cam0_, kReadConfig, data).Ok());
  std::this_thread::sleep_for(20ms);
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 10; ++i) ASSERT_TRUE(ws_.ControlTransfer(*cam0_, kReadConfig, data).Ok());
  EXPECT_GE(std::chrono::steady_clock::now() - start, 18ms);
}

}  // namespace
}  // namespace fcp::sim
