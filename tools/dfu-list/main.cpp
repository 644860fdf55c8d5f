// dfu-list: what the DFU side of the tool sees on this machine. Lists the DFU device table with each
// interface's descriptor facts, then the listing's diagnostic and error texts. Read-only: nothing is
// opened for more than reading its descriptors and strings.
#include <cstdio>

#include "dfu/connection.h"
#include "dfu/dfu.h"
#include "dfu/diagnostic.h"
#include "dfu/interface_list.h"

int main() {
  const int count = DFU_ListDevice();
  int index = 0;
  for (const DfuInterface* node = DFU_InterfaceListHead(); node != nullptr; node = node->next, ++index) {
    const bool in_table = index < count;
    std::printf("%c%2d  %s  %s  bus %u address %u  configuration %u interface %u alternate %u\n",
                in_table ? ' ' : '-', index, node->location, node->name, node->bus_number, node->device_address,
                node->configuration_value, node->interface_number, node->alternate_setting);
    std::printf("     DFU %x.%02x, %s mode, transfer size %u, attributes 0x%02x, quirks 0x%04x\n",
                node->functional.bcdDFUVersion >> 8, node->functional.bcdDFUVersion & 0xFF,
                (node->flags & kDfuInterfaceInDfuMode) ? "DFU" : "run-time", node->functional.wTransferSize,
                node->functional.bmAttributes, node->quirks);
    std::printf("     name \"%s\", serial \"%s\"\n", node->alt_name, node->serial_name);
  }
  std::printf("%d table entr%s\n", count, count == 1 ? "y" : "ies");
  if (*fcp::dfu::Diagnostic() != '\0') std::printf("diagnostic: %s\n", fcp::dfu::Diagnostic());
  if (count == 0) std::printf("error: %s\n", fcp::dfu::ErrorText());
  DFU_Close();
  return count > 0 ? 0 : 1;
}
