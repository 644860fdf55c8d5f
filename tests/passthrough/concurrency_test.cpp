// Several tool processes on one machine installing, using and removing the driver at the same time:
// every run gets the driver, and the last one out leaves nothing behind.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "fcp/maker_ids.h"
#include "passthrough/driver_service.h"
#include "sim/devices.h"
#include "sim/kernel/workstation_pipe.h"
#include "sim/windows/sim_windows.h"
#include "sim/workstation.h"

namespace fcp::passthrough {
namespace {

using sim::kernel::SimKernel;
using sim::windows::SimDriverImages;
using sim::windows::SimWindows;

TEST(DriverServiceConcurrency, ProcessesComingAndGoingShareOneDriver) {
  SimWindows windows(os::kMachineAmd64);
  auto workstation = std::make_shared<sim::Workstation>();
  auto camera = sim::MakeChipCamera("cam0", {1});
  workstation->AddDevice(camera);
  sim::kernel::WorkstationPipe pipe(*workstation, camera);
  std::string pattern = maker::kVendorPattern;
  pattern.pop_back();
  const std::string id = pattern + "&PID_F202&REV_0100";
  auto* pdo = windows.Kernel().PlugDevice(pipe, SimKernel::kCameraClass, {std::u16string(id.begin(), id.end())});
  const uintptr_t interface_handle = static_cast<uintptr_t>(windows.Kernel().OpenInterface(pdo));
  const SimDriverImages images;

  constexpr int kProcesses = 4, kRuns = 25;
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int p = 0; p < kProcesses; ++p) {
    threads.emplace_back([&, p] {
      for (int run = 0; run < kRuns; ++run) {
        auto process = windows.StartProcess(p % 2 == 0);  // 64-bit and WOW64 tools side by side
        DriverService service({process.get(), process.get(), process.get()}, images.Images(), p % 2 == 0);
        uint32_t low = 0, high = 0;
        uint8_t descriptor[18] = {};
        if (service.Init() != 1 || service.OpenDevice(0, interface_handle, &low, &high) != 1 ||
            service.GetDeviceDescriptor(low, high, descriptor) != 1 || descriptor[1] != 1 ||
            service.CloseDevice(low, high) != 1) {
          ++failures;
        }
        // Some die holding the driver and never clean up; every thread's last run does.
        if (run % 5 == 2) {
          process->Die();
          continue;
        }
        service.Close();
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_FALSE(windows.ServiceNamed(L"KvxUpx").has_value());
  EXPECT_FALSE(windows.HasFile(L"C:\\Windows\\System32\\drivers\\KvxUpx.sys"));
  EXPECT_FALSE(windows.MutexExists(kRefCountMutexName));
  EXPECT_TRUE(windows.Kernel().Violations().empty());
}

}  // namespace
}  // namespace fcp::passthrough
