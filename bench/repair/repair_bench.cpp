// repair_bench: one repair of a blank chip, as the tool's check runs it (the camera selected as the
// dialog selects it, then the whole sequence), on workstations of 1, 4 and 16 cameras, with 125 us and
// 1 ms per control transfer. Prints wall time, control transfers, the time the USB traffic itself
// takes (transfers x per-transfer time) and the ratio of the two. Figures only; nothing is asserted.
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

#include "repair/fix_core_power.h"
#include "sim/devices.h"
#include "sim/windows/windows_views.h"
#include "sim/workstation.h"
#include "uvc/uvc.h"

namespace {

struct Figures {
  double wallMs = 0;
  uint64_t transfers = 0;
  double usbMs = 0;
  int verdict = 0;
};

Figures RunCheck(int cameras, std::chrono::microseconds perTransfer) {
  auto workstation = std::make_shared<fcp::sim::Workstation>();
  for (int i = 0; i < cameras; ++i) {
    // Each camera on its own root port; all chips blank, so the check repairs the one it selects.
    workstation->AddDevice(fcp::sim::MakeChipCamera("cam" + std::to_string(i), {static_cast<uint8_t>(i + 1)}));
  }
  workstation->set_default_latency(perTransfer);
  fcp::sim::ScopedWorkstation current(workstation);
  fcp::sim::windows::ScopedWindowsViews views(workstation);

  const auto start = std::chrono::steady_clock::now();
  std::wstring location;
  if (UVC_OpenDefault()) UVC_GetLocationInfo(location);
  std::wstring error;
  Figures figures;
  figures.verdict = fcp::repair::FixCorePower(location, error, {});
  figures.wallMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  figures.transfers = workstation->transfer_count();
  figures.usbMs = static_cast<double>(figures.transfers) * perTransfer.count() / 1000.0;
  return figures;
}

}  // namespace

int main() {
  std::printf("%-8s %-12s %-8s %10s %10s %12s %8s\n", "cameras", "per-transfer", "verdict", "wall ms", "transfers",
              "usb-time ms", "ratio");
  for (auto perTransfer : {std::chrono::microseconds(125), std::chrono::microseconds(1000)}) {
    for (int cameras : {1, 4, 16}) {
      const Figures f = RunCheck(cameras, perTransfer);
      std::printf("%-8d %9lld us %-8s %10.1f %10llu %12.1f %8.2f\n", cameras,
                  static_cast<long long>(perTransfer.count()), f.verdict ? "PASS" : "FAIL", f.wallMs,
                  static_cast<unsigned long long>(f.transfers), f.usbMs, f.usbMs > 0 ? f.wallMs / f.usbMs : 0.0);
    }
  }
  return 0;
}
