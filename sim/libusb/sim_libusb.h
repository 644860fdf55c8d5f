// Extras of the libusb-compatible library for tests: how many libusb objects are alive, so that a
// test can prove that a layer released everything it took.
#pragma once

namespace fcp::sim {

struct LibusbObjects {
  int contexts = 0;            // libusb_init without libusb_exit (the default context counts once)
  int devices = 0;             // libusb_device objects with references left
  int handles = 0;             // libusb_open without libusb_close
  int config_descriptors = 0;  // libusb_get_*config_descriptor without libusb_free_config_descriptor
  int device_lists = 0;        // libusb_get_device_list without libusb_free_device_list

  bool AllReleased() const {
    return contexts == 0 && devices == 0 && handles == 0 && config_descriptors == 0 && device_lists == 0;
  }
};

LibusbObjects LiveLibusbObjects();

}  // namespace fcp::sim
