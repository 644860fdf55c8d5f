// One virtual device of the workstation served to the kernel's USB/IP host driver (vhci-hcd) over a
// connected stream socket: the import handshake that precedes the attach, then the URB traffic.
//
// Control transfers on endpoint 0 go through Workstation::ControlTransfer, so the device's
// descriptors, chip, faults, latency and wire trace are exactly those of every other view. URBs on
// other endpoints carry no data of this device: IN transfers stay pending (as an idle interrupt or
// bulk endpoint would) until the kernel unlinks them; OUT transfers complete at once.
//
// All numbers on the wire are big-endian. Header layout (48 bytes each):
//   basic:      command, seqnum, devid, direction (0 out, 1 in), ep
//   CMD_SUBMIT: basic, transfer_flags, transfer_buffer_length, start_frame, number_of_packets,
//               interval, setup[8]; OUT data follows
//   RET_SUBMIT: basic, status (negative errno), actual_length, start_frame, number_of_packets,
//               error_count, 8 bytes padding; IN data follows
//   CMD_UNLINK: basic, unlink_seqnum, 24 bytes padding
//   RET_UNLINK: basic, status (-ECONNRESET when the URB was still pending, else 0), 24 bytes padding
#pragma once
#include <cstdint>
#include <memory>
#include <set>
#include <string>

#include "sim/workstation.h"

namespace fcp::usbip {

inline constexpr uint32_t kCmdSubmit = 1;
inline constexpr uint32_t kCmdUnlink = 2;
inline constexpr uint32_t kRetSubmit = 3;
inline constexpr uint32_t kRetUnlink = 4;
inline constexpr size_t kHeaderSize = 48;

inline constexpr uint16_t kProtocolVersion = 0x0111;
inline constexpr uint16_t kOpReqImport = 0x8003;
inline constexpr uint16_t kOpRepImport = 0x0003;
inline constexpr size_t kBusIdSize = 32;
inline constexpr size_t kImportReplySize = 8 + 312;  // op_common, then the exported device

// vhci-hcd's speed numbers (enum usb_device_speed).
inline constexpr uint32_t kSpeedFull = 2;
inline constexpr uint32_t kSpeedHigh = 3;

// The bus ID under which a device is exported: "<bus>-<port>.<port>...", as the kernel names it.
std::string BusIdOf(const sim::UsbDevice& device);
// The device ID the attach names a device with: bus << 16 | address.
uint32_t DevIdOf(const sim::UsbDevice& device);

// Client side of the handshake on a fresh connection: asks for `bus_id` and checks the answer. False
// with a reason when the server refused or the answer is malformed.
bool RequestImport(int fd, const std::string& bus_id, std::string* error);

class Session {
 public:
  Session(std::shared_ptr<sim::Workstation> workstation, std::shared_ptr<sim::UsbDevice> device, int fd);

  // Server side of the handshake: reads the import request and answers with the device (or refuses a
  // bus ID that is not this device's). False when the peer went away or was refused.
  bool AnswerImport();
  // Serves URBs until the peer closes the connection, sends something malformed, or the device is
  // gone (a disconnect fault): then returns, and the caller closes the socket, which the kernel
  // takes for an unplug.
  void Serve();

 private:
  bool HandleSubmit(const uint8_t* header);
  bool HandleUnlink(const uint8_t* header);
  bool Reply(uint32_t command, uint32_t seqnum, int32_t status, const uint8_t* data, uint32_t length);

  std::shared_ptr<sim::Workstation> workstation_;
  std::shared_ptr<sim::UsbDevice> device_;
  int fd_;
  std::set<uint32_t> pending_;  // seqnums of IN transfers left waiting on non-control endpoints
  bool gone_ = false;
};

}  // namespace fcp::usbip
