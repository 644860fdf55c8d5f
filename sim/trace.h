// The wire trace: one line per control transfer that reaches a virtual device.
//
//   <device id> <setup packet, 16 hex digits> <data, hex or -> <outcome>[ fault=<action>]
//
// Data is what crossed the wire in the data stage: for a device-to-host transfer the bytes the host
// received, for host-to-device the bytes the host sent (all of them, also when the transfer failed).
// The outcome is the number of bytes moved, or STALL, NO_DEVICE or TIMEOUT. Hex digits are upper case.
#pragma once
#include <span>
#include <string>

#include "sim/usb_types.h"

namespace fcp::sim {

std::string TraceLine(const std::string& device, const SetupPacket& setup, std::span<const uint8_t> data,
                      const TransferResult& result, const char* fault);

// Appends one line (and a newline) to the file that FCP_SIM_TRACE names, when it names one.
// The file is opened for appending on first use and flushed after every line.
void WriteTraceLine(const std::string& line);

}  // namespace fcp::sim
