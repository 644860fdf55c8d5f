#include "tools/usbip-workstation/usbip_session.h"

#include <errno.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace fcp::usbip {
namespace {

// Larger transfers than any of this device's endpoints could move mean a broken peer.
constexpr uint32_t kMaxTransfer = 1u << 20;

uint32_t Get32(const uint8_t* p) {
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}
uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
void Put32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}
void Put16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}

bool ReadAll(int fd, uint8_t* data, size_t size) {
  while (size > 0) {
    const ssize_t n = ::recv(fd, data, size, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool WriteAll(int fd, const uint8_t* data, size_t size) {
  while (size > 0) {
    const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

std::string BusIdOf(const sim::UsbDevice& device) {
  std::string id = std::to_string(device.Place().bus) + "-";
  for (size_t i = 0; i < device.Place().ports.size(); ++i) {
    if (i) id += '.';
    id += std::to_string(device.Place().ports[i]);
  }
  return id;
}

uint32_t DevIdOf(const sim::UsbDevice& device) {
  return uint32_t{device.Place().bus} << 16 | device.Place().address;
}

bool RequestImport(int fd, const std::string& bus_id, std::string* error) {
  auto fail = [&](const char* why) {
    if (error) *error = why;
    return false;
  };
  uint8_t request[8 + kBusIdSize] = {};
  Put16(request, kProtocolVersion);
  Put16(request + 2, kOpReqImport);
  std::memcpy(request + 8, bus_id.data(), std::min(bus_id.size(), kBusIdSize - 1));
  if (!WriteAll(fd, request, sizeof request)) return fail("the server went away");
  uint8_t reply[kImportReplySize];
  if (!ReadAll(fd, reply, 8)) return fail("the server went away");
  if (Get16(reply + 2) != kOpRepImport) return fail("the server answered something else");
  if (Get32(reply + 4) != 0) return fail("the server refused the import");
  if (!ReadAll(fd, reply + 8, kImportReplySize - 8)) return fail("the server went away");
  if (std::memcmp(reply + 8 + 256, request + 8, kBusIdSize) != 0) return fail("the server exported another device");
  return true;
}

Session::Session(std::shared_ptr<sim::Workstation> workstation, std::shared_ptr<sim::UsbDevice> device, int fd)
    : workstation_(std::move(workstation)), device_(std::move(device)), fd_(fd) {}

bool Session::AnswerImport() {
  uint8_t request[8 + kBusIdSize];
  if (!ReadAll(fd_, request, sizeof request)) return false;
  const std::string bus_id = BusIdOf(*device_);
  const bool mine = Get16(request + 2) == kOpReqImport &&
                    std::string(reinterpret_cast<const char*>(request + 8), strnlen(reinterpret_cast<const char*>(request + 8), kBusIdSize)) == bus_id;
  uint8_t reply[kImportReplySize] = {};
  Put16(reply, kProtocolVersion);
  Put16(reply + 2, kOpRepImport);
  Put32(reply + 4, mine ? 0 : 1);
  if (!mine) {
    WriteAll(fd_, reply, 8);
    return false;
  }

  // struct usbip_usb_device: path[256], busid[32], busnum, devnum, speed, idVendor, idProduct,
  // bcdDevice, bDeviceClass, bDeviceSubClass, bDeviceProtocol, bConfigurationValue,
  // bNumConfigurations, bNumInterfaces.
  uint8_t* d = reply + 8;
  const std::string path = "/sys/devices/virtual-workstation/" + device_->Id();
  std::memcpy(d, path.data(), std::min<size_t>(path.size(), 255));
  std::memcpy(d + 256, bus_id.data(), std::min(bus_id.size(), kBusIdSize - 1));
  Put32(d + 288, device_->Place().bus);
  Put32(d + 292, device_->Place().address);
  Put32(d + 296, kSpeedHigh);
  Put16(d + 300, device_->VendorId());
  Put16(d + 302, device_->ProductId());
  Put16(d + 304, device_->BcdDevice());
  const sim::Bytes& dev = device_->Descriptors().device;
  d[306] = dev.size() > 4 ? dev[4] : 0;
  d[307] = dev.size() > 5 ? dev[5] : 0;
  d[308] = dev.size() > 6 ? dev[6] : 0;
  const auto& configs = device_->Descriptors().configurations;
  d[309] = !configs.empty() && configs[0].size() > 5 ? configs[0][5] : 0;
  d[310] = static_cast<uint8_t>(configs.size());
  d[311] = !configs.empty() && configs[0].size() > 4 ? configs[0][4] : 0;
  return WriteAll(fd_, reply, sizeof reply);
}

void Session::Serve() {
  uint8_t header[kHeaderSize];
  while (!gone_ && ReadAll(fd_, header, sizeof header)) {
    const uint32_t command = Get32(header);
    const bool ok = command == kCmdSubmit ? HandleSubmit(header) : command == kCmdUnlink ? HandleUnlink(header) : false;
    if (!ok) break;
  }
}

bool Session::HandleSubmit(const uint8_t* header) {
  const uint32_t seqnum = Get32(header + 4);
  const bool in = Get32(header + 12) != 0;
  const uint32_t endpoint = Get32(header + 16);
  const uint32_t length = Get32(header + 24);
  const uint32_t packets = Get32(header + 32);
  if (length > kMaxTransfer || endpoint > 15) return false;
  std::vector<uint8_t> data(length);
  if (!in && length > 0 && !ReadAll(fd_, data.data(), length)) return false;
  // This device has no isochronous endpoints: descriptors of such a transfer are read and refused.
  if (packets != 0 && packets != 0xFFFFFFFFu) {
    if (packets > 1024) return false;
    std::vector<uint8_t> iso(size_t{packets} * 16);
    if (!ReadAll(fd_, iso.data(), iso.size())) return false;
    return Reply(kRetSubmit, seqnum, -EINVAL, nullptr, 0);
  }

  if (endpoint != 0) {
    if (in) {
      pending_.insert(seqnum);  // answered only by an unlink
      return true;
    }
    return Reply(kRetSubmit, seqnum, 0, nullptr, length);
  }

  const uint8_t* setup = header + 40;
  const uint16_t wLength = static_cast<uint16_t>(setup[6] | setup[7] << 8);
  if (data.size() < wLength) data.resize(wLength);
  const sim::TransferResult result = workstation_->ControlTransfer(*device_, setup, data.data(), 0);
  switch (result.status) {
    case sim::TransferStatus::kOk: {
      const uint32_t moved = std::min<uint32_t>(static_cast<uint32_t>(result.transferred), length);
      return Reply(kRetSubmit, seqnum, 0, in ? data.data() : nullptr, moved);
    }
    case sim::TransferStatus::kStall:
      return Reply(kRetSubmit, seqnum, -EPIPE, nullptr, 0);
    case sim::TransferStatus::kTimeout:
      // A device that does not answer: the host's own time limit unlinks the transfer.
      pending_.insert(seqnum);
      return true;
    case sim::TransferStatus::kNoDevice:
      gone_ = true;  // the connection ends: the kernel sees the device unplugged
      return true;
  }
  return false;
}

bool Session::HandleUnlink(const uint8_t* header) {
  const uint32_t seqnum = Get32(header + 4);
  const uint32_t victim = Get32(header + 20);
  const bool was_pending = pending_.erase(victim) == 1;
  return Reply(kRetUnlink, seqnum, was_pending ? -ECONNRESET : 0, nullptr, 0);
}

bool Session::Reply(uint32_t command, uint32_t seqnum, int32_t status, const uint8_t* data, uint32_t length) {
  uint8_t header[kHeaderSize] = {};
  Put32(header, command);
  Put32(header + 4, seqnum);
  Put32(header + 20, static_cast<uint32_t>(status));
  if (command == kRetSubmit) Put32(header + 24, length);
  if (!WriteAll(fd_, header, sizeof header)) return false;
  return data == nullptr || length == 0 || WriteAll(fd_, data, length);
}

}  // namespace fcp::usbip
