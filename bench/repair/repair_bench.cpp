// repair_bench: one repair of a blank chip, as the tool's check runs it (the camera selected as the
// dialog selects it, then the whole sequence), on workstations of 1, 4 and 16 cameras, with 125 us and
// 1 ms per control transfer (Google Benchmark; each iteration on a new workstation, only the check
// timed). Counters: control transfers of one check and the time the USB traffic itself takes
// (transfers x per-transfer time), to set beside the check's time. Figures only; nothing is asserted.
#include <benchmark/benchmark.h>

#include <chrono>
#include <memory>
#include <string>

#include "repair/fix_core_power.h"
#include "sim/devices.h"
#include "sim/windows/windows_views.h"
#include "sim/workstation.h"
#include "uvc/uvc.h"

namespace {

std::shared_ptr<fcp::sim::Workstation> BlankWorkstation(int cameras, std::chrono::microseconds per_transfer) {
  auto workstation = std::make_shared<fcp::sim::Workstation>();
  for (int i = 0; i < cameras; ++i) {
    // Each camera on its own root port; all chips blank, so the check repairs the one it selects.
    workstation->AddDevice(fcp::sim::MakeChipCamera("cam" + std::to_string(i), {static_cast<uint8_t>(i + 1)}));
  }
  workstation->SetDefaultLatency(per_transfer);
  return workstation;
}

void Check(benchmark::State& state) {
  const int cameras = static_cast<int>(state.range(0));
  const std::chrono::microseconds per_transfer(state.range(1));
  uint64_t transfers = 0;
  for (auto _ : state) {
    auto workstation = BlankWorkstation(cameras, per_transfer);
    fcp::sim::ScopedWorkstation current(workstation);
    fcp::sim::windows::ScopedWindowsViews views(workstation);

    const auto start = std::chrono::steady_clock::now();
    std::wstring location;
    if (UVC_OpenDefault()) UVC_GetLocationInfo(location);
    std::wstring error;
    const int verdict = fcp::repair::FixCorePower(location, error, {});
    state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    if (!verdict) {
      state.SkipWithError("the blank chip did not pass");
      break;
    }
    transfers = workstation->TransferCount();
  }
  const double usb_ms = static_cast<double>(transfers) * static_cast<double>(per_transfer.count()) / 1000.0;
  state.counters["transfers"] = static_cast<double>(transfers);
  state.counters["usb_ms"] = usb_ms;
}

BENCHMARK(Check)
    ->ArgNames({"cameras", "us_per_transfer"})
    ->ArgsProduct({{1, 4, 16}, {125, 1000}})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5);

}  // namespace

BENCHMARK_MAIN();
