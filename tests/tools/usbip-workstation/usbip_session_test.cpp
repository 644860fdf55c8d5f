// The USB/IP server's side of the protocol over a socket pair: the import answer, control transfers
// through the workstation (data, stalls, the wire trace), and URBs that only an unlink ends.
#include <gtest/gtest.h>

#include <errno.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <thread>
#include <vector>

#include "sim/devices.h"
#include "tools/usbip-workstation/usbip_session.h"

namespace fcp::usbip {
namespace {

void Put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}
uint32_t Get32(const uint8_t* p) { return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3]; }

class UsbipSession : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds_), 0);
    camera_ = sim::MakeChipCamera("cam0", {1, 3});
    ASSERT_TRUE(workstation_->AddDevice(camera_));
    workstation_->SetTraceSink([this](const std::string& line) { trace_.push_back(line); });
    session_ = std::make_unique<Session>(workstation_, camera_, fds_[1]);
  }
  void TearDown() override {
    ::shutdown(fds_[0], SHUT_RDWR);
    if (server_.joinable()) server_.join();
    ::close(fds_[0]);
    ::close(fds_[1]);
  }
  void Serve() { server_ = std::thread([this] { session_->Serve(); }); }

  void Submit(uint32_t seqnum, bool in, uint32_t endpoint, const std::vector<uint8_t>& setup, uint32_t length,
              const std::vector<uint8_t>& out = {}) {
    uint8_t header[kHeaderSize] = {};
    Put32(header, kCmdSubmit);
    Put32(header + 4, seqnum);
    Put32(header + 12, in ? 1 : 0);
    Put32(header + 16, endpoint);
    Put32(header + 24, length);
    if (!setup.empty()) std::memcpy(header + 40, setup.data(), std::min<size_t>(setup.size(), 8));
    ASSERT_EQ(::write(fds_[0], header, sizeof header), static_cast<ssize_t>(sizeof header));
    if (!out.empty()) {
      ASSERT_EQ(::write(fds_[0], out.data(), out.size()), static_cast<ssize_t>(out.size()));
    }
  }
  void Unlink(uint32_t seqnum, uint32_t victim) {
    uint8_t header[kHeaderSize] = {};
    Put32(header, kCmdUnlink);
    Put32(header + 4, seqnum);
    Put32(header + 20, victim);
    ASSERT_EQ(::write(fds_[0], header, sizeof header), static_cast<ssize_t>(sizeof header));
  }
  struct Ret {
    uint32_t command = 0, seqnum = 0;
    int32_t status = 0;
    std::vector<uint8_t> data;
  };
  // One reply; `in` says whether data follows (the peer knows it from its own request).
  Ret Receive(bool in) {
    uint8_t header[kHeaderSize];
    Ret ret;
    if (::recv(fds_[0], header, sizeof header, MSG_WAITALL) != static_cast<ssize_t>(sizeof header)) return ret;
    ret.command = Get32(header);
    ret.seqnum = Get32(header + 4);
    ret.status = static_cast<int32_t>(Get32(header + 20));
    const uint32_t length = ret.command == kRetSubmit ? Get32(header + 24) : 0;
    if (in && length > 0) {
      ret.data.resize(length);
      if (::recv(fds_[0], ret.data.data(), length, MSG_WAITALL) != static_cast<ssize_t>(length)) ret.data.clear();
    }
    return ret;
  }

  int fds_[2] = {-1, -1};
  std::shared_ptr<sim::Workstation> workstation_ = std::make_shared<sim::Workstation>();
  std::shared_ptr<sim::UsbDevice> camera_;
  std::vector<std::string> trace_;
  std::unique_ptr<Session> session_;
  std::thread server_;
};

TEST_F(UsbipSession, ImportAnswersWithTheDeviceAndRefusesAnother) {
  std::thread peer([&] { EXPECT_TRUE(session_->AnswerImport()); });
  std::string error;
  EXPECT_TRUE(RequestImport(fds_[0], "1-1.3", &error)) << error;
  peer.join();

  std::thread refusing([&] { EXPECT_FALSE(session_->AnswerImport()); });
  EXPECT_FALSE(RequestImport(fds_[0], "1-2", &error));
  EXPECT_EQ(error, "the server refused the import");
  refusing.join();
}

TEST_F(UsbipSession, ControlTransfersGoThroughTheWorkstation) {
  Serve();
  // GET_DESCRIPTOR(device) with a 64-byte buffer: the 18 bytes of the descriptor come back.
  Submit(1, true, 0, {0x80, 0x06, 0x00, 0x01, 0x00, 0x00, 0x40, 0x00}, 64);
  Ret ret = Receive(true);
  EXPECT_EQ(ret.command, kRetSubmit);
  EXPECT_EQ(ret.seqnum, 1u);
  EXPECT_EQ(ret.status, 0);
  EXPECT_EQ(ret.data, camera_->Descriptors().device);

  // Writing the patch with vendor request 0x51 reaches the chip; an unknown vendor request stalls.
  const std::vector<uint8_t> patch = {1, 2, 3};
  Submit(2, false, 0, {0x40, 0x51, 0x00, 0x00, 40, 0x00, 3, 0x00}, 3, patch);
  ret = Receive(false);
  EXPECT_EQ(ret.status, 0);
  EXPECT_EQ(std::vector<uint8_t>(camera_->chip->Config().begin() + 40, camera_->chip->Config().begin() + 43), patch);
  Submit(3, true, 0, {0xC0, 0x99, 0x00, 0x00, 0x00, 0x00, 4, 0x00}, 4);
  ret = Receive(true);
  EXPECT_EQ(ret.seqnum, 3u);
  EXPECT_EQ(ret.status, -EPIPE);
  EXPECT_TRUE(ret.data.empty());

  ASSERT_EQ(trace_.size(), 3u);
  EXPECT_EQ(trace_[1], "cam0 4051000028000300 010203 3");
  EXPECT_EQ(trace_[2], "cam0 C099000000000400 - STALL");
}

TEST_F(UsbipSession, InTransfersOnOtherEndpointsWaitForTheirUnlink) {
  Serve();
  Submit(7, true, 3, {}, 16);  // the video-control interrupt endpoint: nothing to report
  Unlink(8, 7);
  Ret ret = Receive(false);
  EXPECT_EQ(ret.command, kRetUnlink);  // no RET_SUBMIT came first
  EXPECT_EQ(ret.seqnum, 8u);
  EXPECT_EQ(ret.status, -ECONNRESET);
  Unlink(9, 7);  // already gone
  ret = Receive(false);
  EXPECT_EQ(ret.status, 0);
  EXPECT_TRUE(trace_.empty());
}

TEST_F(UsbipSession, DisconnectFaultEndsTheConnection) {
  sim::FaultRule unplug;
  unplug.device = "cam0";
  unplug.action = sim::FaultAction::kDisconnect;
  workstation_->AddFault(unplug);
  Serve();
  Submit(1, true, 0, {0x80, 0x06, 0x00, 0x01, 0x00, 0x00, 0x12, 0x00}, 18);
  server_.join();  // Serve returned without an answer: closing the socket is the unplug
  uint8_t byte;
  ::shutdown(fds_[1], SHUT_WR);
  EXPECT_EQ(::recv(fds_[0], &byte, 1, 0), 0);
}

}  // namespace
}  // namespace fcp::usbip
