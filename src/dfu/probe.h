// Building the DFU interface list from the USB devices of a libusb context.
#pragma once

struct libusb_context;

// Puts one entry for every DFU alternate setting of every device in front of the list head. Warnings
// go to the diagnostic text; the functional descriptor's length warnings to standard output.
void DFU_ProbeDevices(libusb_context* context);
