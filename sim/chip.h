// The camera controller chip: its memory, configuration bytes and status block, the command processor
// behind the extension unit's two controls, and the vendor requests of its DFU function.
//
// The chip knows nothing of USB descriptors or faults; the virtual device (usb_device.h) hands it the
// requests addressed to it. Each method returns false (or a stall) where the real chip stalls the
// request, and records in its status reply why, the way the host reads it back from the command control.
#pragma once
#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "dfu/chip_requests.h"
#include "sim/hex.h"
#include "sim/usb_types.h"
#include "uvc/chip_memory_map.h"
#include "uvc/vcmd.h"

namespace fcp::sim {

// The chip answers the extension unit's command protocol (uvc/vcmd.h) and the vendor requests of its
// DFU function (dfu/chip_requests.h) as the tool speaks them, over the memory map the tool addresses
// (uvc/chip_memory_map.h).
using uvc::VcmdStatus;

inline constexpr size_t kConfigSize = 256;
using uvc::kStatusBlockSize;
using Signature = uvc::VcmdBlock;
// A chip as it leaves the factory answers with the vendor signature; a scenario may give it another.
inline constexpr Signature kChipSignature = uvc::kVendorSignature;

class Chip {
 public:
  // A chip as it leaves the factory: the given product ID in its status block, factory bytes in
  // configuration bytes 0-39 and a blank (zero) rest, selector 1, pass-through word 1, commit register 0.
  explicit Chip(uint16_t product_id);

  // --- extension unit (SET_CUR / GET_CUR on controls 10 and 11; 8 bytes each) ---
  // false: the chip stalls the request.
  bool XuSetCur(uint8_t control, std::span<const uint8_t> data);
  bool XuGetCur(uint8_t control, std::span<uint8_t> data);

  // --- DFU vendor requests (bmRequestType 0xC0 / 0x40) ---
  // Returns bytes moved, or a stall.
  TransferResult VendorRequest(const SetupPacket& setup, std::span<uint8_t> data);

  // --- state, for scenarios, tests and the views ---
  uint16_t ProductId() const { return static_cast<uint16_t>(status_block_[2] | status_block_[3] << 8); }
  void SetProductId(uint16_t pid);
  Bytes& Config() { return config_; }
  const Bytes& Config() const { return config_; }
  std::array<uint8_t, kStatusBlockSize>& StatusBlock() { return status_block_; }
  const std::array<uint8_t, kStatusBlockSize>& StatusBlock() const { return status_block_; }
  sim::Signature& Signature() { return signature_; }
  const sim::Signature& Signature() const { return signature_; }
  bool HardwareFault() const { return hardware_fault_; }
  void SetHardwareFault(bool on) { hardware_fault_ = on; }
  // Number of words written to the commit register since the chip was made.
  unsigned CommitCount() const { return commit_count_; }
  void SetCommitCount(unsigned n) { commit_count_ = n; }

  // Memory access as the host sees it (false: out of the map).
  bool ReadMemory(uint32_t address, std::span<uint8_t> out) const;
  bool WriteMemory(uint32_t address, std::span<const uint8_t> bytes);
  uint8_t Selector() const;
  void SetSelector(uint8_t value);
  uint32_t ReadWord(uint32_t address) const;  // 0 outside the map
  void WriteWord(uint32_t address, uint32_t value);
  // The bytes of one region (for serialisation).
  const Bytes& RegionBytes(size_t region) const { return memory_[region]; }

  // The 8-byte status reply: status code, code of the last command, data bytes still to read
  // (little-endian), four zero bytes.
  uvc::VcmdBlock StatusReply() const;
  VcmdStatus Status() const { return status_; }

 private:
  bool IssueCommand(std::span<const uint8_t> block);
  bool Fail(VcmdStatus status);
  uint8_t* Locate(uint32_t address, size_t length);
  const uint8_t* Locate(uint32_t address, size_t length) const;

  Bytes config_;
  std::array<uint8_t, kStatusBlockSize> status_block_{};
  sim::Signature signature_ = kChipSignature;
  std::vector<Bytes> memory_;  // one per region of uvc::kChipMemoryMap
  bool hardware_fault_ = false;
  unsigned commit_count_ = 0;

  // Command processor.
  VcmdStatus status_ = VcmdStatus::kCmd;
  uint8_t last_command_ = 0;
  Bytes pending_;      // data of the current command (to send, or being received)
  size_t pending_pos_ = 0;
  bool writing_ = false;  // the current command takes data from the host
  uint32_t write_address_ = 0;
};

}  // namespace fcp::sim
