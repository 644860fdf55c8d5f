// What the DFU connection keeps besides the operations of dfu/dfu.h: its error text and its state,
// for diagnosis and for the pass-through route that shares the connection.
#pragma once
#include <cstddef>

struct libusb_context;

namespace fcp::dfu {

inline constexpr std::size_t kErrorTextSize = 256;

// The last failure of the libusb side ("" when none since the process started). Nothing reads it
// for a verdict.
const char* ErrorText();

struct ConnectionState {
  libusb_context* context = nullptr;
  // Set while the connection is, or was being, opened through the pass-through driver; the
  // pass-through route owns what it stands for and releases it in DFU_Close.
  bool pass_through_mode = false;
  // List nodes an open has freed since the table was built: table entry k is list node
  // k - dropped_interfaces, and the entries before that have no node any more.
  int dropped_interfaces = 0;
};

const ConnectionState& Connection();

}  // namespace fcp::dfu
