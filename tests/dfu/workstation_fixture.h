// A virtual workstation for the DFU side's tests, and a look at what DFU_ListDevice built.
#pragma once
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "dfu/dfu.h"
#include "dfu/interface_list.h"
#include "sim/devices.h"
#include "sim/libusb/sim_libusb.h"
#include "sim/workstation.h"

namespace fcp::dfu::testing_support {

// Every test leaves the DFU connection closed and every libusb object released.
class DfuWorkstationTest : public ::testing::Test {
 protected:
  void TearDown() override {
    DFU_Close();
    const sim::LibusbObjects live = sim::LiveLibusbObjects();
    EXPECT_TRUE(live.AllReleased()) << "contexts " << live.contexts << ", devices " << live.devices
                                    << ", handles " << live.handles << ", configuration descriptors "
                                    << live.config_descriptors << ", device lists " << live.device_lists;
  }

  std::shared_ptr<sim::UsbDevice> Plug(const sim::DeviceSpec& shape) {
    auto device = sim::MakeDevice(shape);
    std::string error;
    EXPECT_TRUE(workstation_->AddDevice(device, &error)) << error;
    return device;
  }

  sim::ScopedWorkstation workstation_{std::make_shared<sim::Workstation>()};
};

inline std::vector<const DfuInterface*> ListedInterfaces() {
  std::vector<const DfuInterface*> nodes;
  for (const DfuInterface* node = DFU_InterfaceListHead(); node != nullptr; node = node->next) nodes.push_back(node);
  return nodes;
}

// A shape for a device of another maker that only has a DFU interface.
inline sim::DeviceSpec ForeignDfuSpec(std::string id, std::vector<uint8_t> ports) {
  sim::DeviceSpec shape;
  shape.id = std::move(id);
  shape.kind = sim::DeviceKind::kForeignDfu;
  shape.place = {1, std::move(ports), 0};
  return shape;
}

}  // namespace fcp::dfu::testing_support

namespace fcp::dfu::testing_support {

// The device `shape` describes, with bInterfaceProtocol of its DFU alternate settings replaced: the
// DFU-mode rules look at protocols the device builder does not produce.
inline std::shared_ptr<sim::UsbDevice> WithDfuProtocol(const sim::DeviceSpec& shape, uint8_t protocol) {
  auto built = sim::MakeDevice(shape);
  sim::UsbDescriptors descriptors = built->Descriptors();
  for (sim::Bytes& config : descriptors.configurations) {
    for (size_t at = 0; at + 8 < config.size() && config[at] != 0; at += config[at]) {
      if (config[at + 1] == 0x04 && config[at + 5] == 0xFE && config[at + 6] == 0x01) config[at + 7] = protocol;
    }
  }
  auto device = std::make_shared<sim::UsbDevice>(shape.id, shape.kind, std::move(descriptors), shape.place);
  device->video = built->video;
  device->dfu = built->dfu;
  device->chip = built->chip;
  return device;
}

}  // namespace fcp::dfu::testing_support
