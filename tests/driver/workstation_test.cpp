// The virtual workstation's cameras behind the simulated kernel: recognised by their descriptors and
// reached through the workstation, as the later user-mode route will reach them.
#include "driver_fixture.h"
#include "sim/devices.h"
#include "sim/kernel/workstation_pipe.h"

namespace fcp::driver::test {
namespace {

using WorkstationTest = DriverTest;

TEST_F(WorkstationTest, ChipCameraIsAcceptedByItsExtensionUnitAndAnswersThroughTheWorkstation) {
  sim::Workstation workstation;
  std::vector<std::string> trace;
  workstation.SetTraceSink([&](const std::string& line) { trace.push_back(line); });
  auto camera = sim::MakeChipCamera("cam0", {1, 3});
  ASSERT_TRUE(workstation.AddDevice(camera));
  sim::kernel::WorkstationPipe pipe(workstation, camera);
  // A hardware ID the vendor pattern does not match: the configuration descriptor decides.
  SimKernel::DeviceObject* pdo = kernel_.PlugDevice(pipe, SimKernel::kImageClass, {kForeignHardwareId});

  const uint64_t handle = Register(pdo, 0);
  ASSERT_NE(handle, 0u);
  EXPECT_FALSE(trace.empty()) << "the acceptance test read the configuration through the workstation";

  const CallerUrb urb = MakeDeviceDescriptorUrb();
  ASSERT_EQ(SubmitControl(handle, urb.address, 5000), kStatusSuccess);
  const uint8_t* descriptor = kernel_.CallerBytes(urb.buffer, 18);
  EXPECT_EQ(std::vector<uint8_t>(descriptor, descriptor + 18), camera->Descriptors().device);
  EXPECT_EQ(CloseDeviceControl(handle), kStatusSuccess);

  // Unplugged from the workstation, it answers nothing the acceptance test could accept.
  camera->SetConnected(false);
  uint64_t again = 0;
  EXPECT_EQ(OpenDeviceControl(kernel_.OpenInterface(pdo), 0, &again), kStatusAccessDenied);
}

}  // namespace
}  // namespace fcp::driver::test
