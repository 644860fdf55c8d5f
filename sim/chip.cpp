#include "sim/chip.h"

#include <algorithm>
#include <cstring>

#include "fcp/maker_ids.h"

namespace fcp::sim {

namespace {
// Calibration bytes a chip carries from the factory in configuration bytes 0-39.
uint8_t FactoryByte(size_t i) { return static_cast<uint8_t>(i * 29 + 7); }
constexpr size_t kFactoryBytes = 40;
}  // namespace

Chip::Chip(uint16_t product_id) : config_(kConfigSize, 0) {
  for (size_t i = 0; i < kFactoryBytes; ++i) config_[i] = FactoryByte(i);
  for (const uvc::ChipMemoryRegion& region : uvc::kChipMemoryMap) memory_.emplace_back(region.size, 0);
  // Status block: maker's vendor ID, the chip's product ID, firmware version 1.00.
  status_block_[0] = static_cast<uint8_t>(fcp::maker::kUsbVendorId);
  status_block_[1] = static_cast<uint8_t>(fcp::maker::kUsbVendorId >> 8);
  SetProductId(product_id);
  status_block_[4] = 0x00;
  status_block_[5] = 0x01;
  SetSelector(1);
  WriteWord(uvc::kPassThroughWordAddress, 1);
}

void Chip::SetProductId(uint16_t pid) {
  status_block_[2] = static_cast<uint8_t>(pid);
  status_block_[3] = static_cast<uint8_t>(pid >> 8);
}

// ---------------------------------------------------------------- memory

const uint8_t* Chip::Locate(uint32_t address, size_t length) const {
  for (size_t r = 0; r < uvc::kChipMemoryMap.size(); ++r) {
    const uvc::ChipMemoryRegion& region = uvc::kChipMemoryMap[r];
    if (region.Holds(address, length)) return memory_[r].data() + (address - region.base);
  }
  return nullptr;
}

uint8_t* Chip::Locate(uint32_t address, size_t length) {
  return const_cast<uint8_t*>(static_cast<const Chip*>(this)->Locate(address, length));
}

bool Chip::ReadMemory(uint32_t address, std::span<uint8_t> out) const {
  const uint8_t* p = Locate(address, out.size());
  if (!p) return false;
  std::copy_n(p, out.size(), out.begin());
  return true;
}

bool Chip::WriteMemory(uint32_t address, std::span<const uint8_t> bytes) {
  uint8_t* p = Locate(address, bytes.size());
  if (!p) return false;
  std::copy(bytes.begin(), bytes.end(), p);
  return true;
}

uint8_t Chip::Selector() const {
  uint8_t b = 0;
  ReadMemory(uvc::kSelectorAddress, {&b, 1});
  return b;
}

void Chip::SetSelector(uint8_t value) { WriteMemory(uvc::kSelectorAddress, {&value, 1}); }

uint32_t Chip::ReadWord(uint32_t address) const {
  uint8_t b[4] = {};
  if (!ReadMemory(address, b)) return 0;
  return uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
}

void Chip::WriteWord(uint32_t address, uint32_t value) {
  const uint8_t b[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                        static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
  WriteMemory(address, b);
}

// ---------------------------------------------------------------- extension unit

uvc::VcmdBlock Chip::StatusReply() const {
  const size_t remaining = pending_.size() - pending_pos_;
  return {static_cast<uint8_t>(status_), last_command_, static_cast<uint8_t>(remaining),
          static_cast<uint8_t>(remaining >> 8), 0, 0, 0, 0};
}

bool Chip::Fail(VcmdStatus status) {
  status_ = status;
  return false;
}

bool Chip::XuSetCur(uint8_t control, std::span<const uint8_t> data) {
  if (data.size() != uvc::kControlSize) return Fail(VcmdStatus::kErrLen);
  if (control == uvc::kDataControl) {
    if (!writing_ || pending_pos_ >= pending_.size()) return Fail(VcmdStatus::kErrDir);
    const size_t n = std::min<size_t>(uvc::kControlSize, pending_.size() - pending_pos_);
    std::copy_n(data.begin(), n, pending_.begin() + static_cast<std::ptrdiff_t>(pending_pos_));
    pending_pos_ += n;
    if (pending_pos_ == pending_.size()) {
      WriteMemory(write_address_, pending_);
      writing_ = false;
      status_ = VcmdStatus::kRetNoErr;
    }
    return true;
  }
  if (control != uvc::kCommandControl) return false;  // not a control of this unit: no status change
  return IssueCommand(data);
}

bool Chip::IssueCommand(std::span<const uint8_t> block) {
  if (block[0] == uvc::kAbortMarker) {
    pending_.clear();
    pending_pos_ = 0;
    writing_ = false;
    last_command_ = 0;
    status_ = VcmdStatus::kCmd;
    return true;
  }
  // The host has to read a command's data to the end, or abort it, before the next command.
  if (pending_pos_ < pending_.size()) return Fail(VcmdStatus::kNotFinish);
  pending_.clear();
  pending_pos_ = 0;
  writing_ = false;
  if (block[0] != uvc::kCommandMarker) return Fail(VcmdStatus::kUnknownScmd);

  const uint8_t code = block[1];
  const uint32_t address = uint32_t(block[2]) | uint32_t(block[3]) << 8 | uint32_t(block[6]) << 16 |
                           uint32_t(block[7]) << 24;
  const uint16_t length = static_cast<uint16_t>(block[4] | block[5] << 8);
  last_command_ = code;

  switch (code) {
    case uvc::kCmdQualify:
      if (length != 8) return Fail(VcmdStatus::kErrLen);
      if (address != 0) return Fail(VcmdStatus::kErrOutRange);
      pending_.assign(signature_.begin(), signature_.end());
      break;
    case uvc::kCmdStatusPiece:
      if (length != 8) return Fail(VcmdStatus::kErrLen);
      if (address >= uvc::kStatusPieces) return Fail(VcmdStatus::kErrOutRange);
      pending_.assign(status_block_.begin() + address * 8, status_block_.begin() + address * 8 + 8);
      break;
    case uvc::kCmdReadMemory: {
      if (hardware_fault_) return Fail(VcmdStatus::kHwErr);
      Bytes bytes(length);
      if (!ReadMemory(address, bytes)) return Fail(VcmdStatus::kErrOutRange);
      pending_ = std::move(bytes);
      break;
    }
    case uvc::kCmdWriteMemory: {
      if (hardware_fault_) return Fail(VcmdStatus::kHwErr);
      Bytes probe(length);
      if (!ReadMemory(address, probe)) return Fail(VcmdStatus::kErrOutRange);
      pending_.assign(length, 0);
      writing_ = length != 0;
      write_address_ = address;
      status_ = writing_ ? VcmdStatus::kDataOut : VcmdStatus::kRetNoErr;
      return true;
    }
    default:
      return Fail(VcmdStatus::kUnknownCmd);
  }
  status_ = pending_.empty() ? VcmdStatus::kRetNoErr : VcmdStatus::kDataIn;
  return true;
}

bool Chip::XuGetCur(uint8_t control, std::span<uint8_t> data) {
  if (data.size() != uvc::kControlSize) return Fail(VcmdStatus::kErrLen);
  if (control == uvc::kCommandControl) {
    const auto reply = StatusReply();
    std::copy(reply.begin(), reply.end(), data.begin());
    return true;
  }
  if (control != uvc::kDataControl) return false;
  if (writing_) return Fail(VcmdStatus::kErrDir);
  if (pending_pos_ >= pending_.size()) return Fail(VcmdStatus::kErrLen);
  // Data goes out in 8-byte pieces; the last piece is padded with zeros.
  const size_t n = std::min<size_t>(uvc::kControlSize, pending_.size() - pending_pos_);
  std::fill(data.begin(), data.end(), 0);
  std::copy_n(pending_.begin() + static_cast<std::ptrdiff_t>(pending_pos_), n, data.begin());
  pending_pos_ += n;
  if (pending_pos_ == pending_.size()) status_ = VcmdStatus::kRetNoErr;
  return true;
}

// ---------------------------------------------------------------- vendor requests

TransferResult Chip::VendorRequest(const SetupPacket& setup, std::span<uint8_t> data) {
  const size_t offset = setup.wIndex;
  const size_t length = setup.wLength;
  switch (setup.bRequest) {
    case dfu::kRequestReadConfig:
      if (setup.bmRequestType != 0xC0 || setup.wValue != 0) return TransferResult::Stall();
      if (offset + length > config_.size() || data.size() < length) return TransferResult::Stall();
      std::copy_n(config_.begin() + static_cast<std::ptrdiff_t>(offset), length, data.begin());
      return TransferResult::Ok(static_cast<int>(length));
    case dfu::kRequestWriteConfig:
      if (setup.bmRequestType != 0x40 || setup.wValue != 0) return TransferResult::Stall();
      if (offset + length > config_.size() || data.size() < length) return TransferResult::Stall();
      std::copy_n(data.begin(), length, config_.begin() + static_cast<std::ptrdiff_t>(offset));
      return TransferResult::Ok(static_cast<int>(length));
    case dfu::kRequestWriteWord: {
      if (setup.bmRequestType != 0x40 || length != 4 || data.size() < 4) return TransferResult::Stall();
      const uint32_t address = uint32_t(setup.wValue) << 16 | setup.wIndex;
      // Words go to the register pages only, aligned.
      const bool register_page = std::ranges::any_of(uvc::kChipMemoryMap, [address](const uvc::ChipMemoryRegion& region) {
        return region.registers && region.Holds(address, 4);
      });
      if (!register_page || address % 4 != 0) return TransferResult::Stall();
      WriteMemory(address, data.first(4));
      if (address == uvc::kCommitRegisterAddress) ++commit_count_;
      return TransferResult::Ok(4);
    }
    default:
      return TransferResult::Stall();
  }
}

}  // namespace fcp::sim
