// Device control: the failure table, registration of cameras and their handles.
#include <thread>

#include "driver_fixture.h"

namespace fcp::driver::test {
namespace {

using DeviceControlTest = DriverTest;
constexpr uint32_t kBlock = sizeof(kv::NativeControlBlock);

TEST_F(DeviceControlTest, RefusesUnknownCodesAndWrongLengths) {
  TestUsbDevice usb;
  const uint64_t handle = Register(PlugCamera(usb));
  const CallerUrb urb = MakeDeviceDescriptorUrb();
  struct Case {
    const char* what;
    uint32_t code, in, out;
  } cases[] = {
      {"unknown code", 0x222C50, kBlock, kBlock},
      {"neighbouring device type", 0x232C4C, kBlock, kBlock},
      {"open-device, short input", kv::kIoctlOpenDevice, kBlock - 1, kBlock},
      {"open-device, long input", kv::kIoctlOpenDevice, kBlock + 1, kBlock},
      {"open-device, short output", kv::kIoctlOpenDevice, kBlock, kBlock - 1},
      {"open-device, no output", kv::kIoctlOpenDevice, kBlock, 0},
      {"close-device, short input", kv::kIoctlCloseDevice, kBlock - 1, 0},
      {"submit, short input", kv::kIoctlSubmitUrb, kBlock - 1, 0},
      {"32-bit block to the 64-bit image", kv::kIoctlSubmitUrb, 32, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Control(c.code, {.interface_handle = 1, .device_handle = handle, .urb_address = urb.address}, c.in, c.out),
              kStatusInvalidParameter)
        << c.what;
  }
  EXPECT_EQ(kernel_.SubmittedRequests(), 0);
  // Longer input than the block is accepted by close-device and submit.
  EXPECT_EQ(Control(kv::kIoctlSubmitUrb, {.device_handle = handle, .urb_address = urb.address}, kBlock + 8),
            kStatusSuccess);
  EXPECT_EQ(Control(kv::kIoctlCloseDevice, {.device_handle = handle}, kBlock + 8), kStatusSuccess);
}

TEST_F(DeviceControlTest, RefusesHandlesThatNameNoRegisteredDevice) {
  TestUsbDevice usb;
  SimKernel::DeviceObject* camera = PlugCamera(usb);
  const uint64_t handle = Register(camera);
  const CallerUrb urb = MakeDeviceDescriptorUrb();
  uint64_t none = 1;
  EXPECT_EQ(OpenDeviceControl(0, 0, &none), kStatusInvalidParameter) << "interface handle 0";
  EXPECT_EQ(none, 0u);
  EXPECT_EQ(OpenDeviceControl(0x7777, 0, &none), kStatusInvalidHandle) << "a handle the caller does not hold";
  EXPECT_EQ(CloseDeviceControl(handle + 1), kStatusInvalidParameter);
  EXPECT_EQ(CloseDeviceControl(0), kStatusInvalidParameter);
  EXPECT_EQ(SubmitControl(handle ^ (1ull << 40), urb.address, 1000), kStatusInvalidParameter);
  EXPECT_EQ(SubmitControl(0, urb.address, 1000), kStatusInvalidParameter);
  EXPECT_EQ(SubmitControl(handle, 0, 1000), kStatusInvalidParameter) << "no request block";
  EXPECT_EQ(CloseDeviceControl(handle), kStatusSuccess);
  EXPECT_EQ(CloseDeviceControl(handle), kStatusInvalidParameter) << "closed twice";
  EXPECT_EQ(SubmitControl(handle, urb.address, 1000), kStatusInvalidParameter) << "after close-device";
  EXPECT_EQ(kernel_.References(camera), 1) << "only the system's reference is left";
}

TEST_F(DeviceControlTest, SameCameraFromTwoOpenersSharesOneHandleUntilBothClose) {
  TestUsbDevice usb;
  SimKernel::DeviceObject* camera = PlugCamera(usb);
  const uint64_t first = Register(camera);
  const uint64_t second = Register(camera);
  EXPECT_EQ(first, second);
  EXPECT_NE(first, reinterpret_cast<uintptr_t>(static_cast<SimKernel::Object*>(camera)))
      << "the handle is no kernel address";
  EXPECT_EQ(kernel_.References(camera), 3);

  const CallerUrb urb = MakeDeviceDescriptorUrb();
  EXPECT_EQ(CloseDeviceControl(first), kStatusSuccess);
  EXPECT_EQ(SubmitControl(second, urb.address, 1000), kStatusSuccess) << "still registered for the other opener";
  EXPECT_EQ(CloseDeviceControl(second), kStatusSuccess);
  EXPECT_EQ(SubmitControl(second, urb.address, 1000), kStatusInvalidParameter);
  EXPECT_EQ(kernel_.References(camera), 1);
  EXPECT_EQ(ext_.high_water, -1);
}

TEST_F(DeviceControlTest, CameraFunctionOfACompositeOrHidDeviceIsRegisteredAsTheWholeDevice) {
  for (const char16_t* splitter : {SimKernel::kCompositeDriver, SimKernel::kHidDriver}) {
    SCOPED_TRACE(std::string(splitter, splitter + std::char_traits<char16_t>::length(splitter)).c_str());
    TestUsbDevice usb;
    MakeMakerCamera(usb);
    usb.device = DeviceDescriptor(maker::kUsbVendorId, 0x4242);
    SimKernel::DeviceObject* whole = kernel_.PlugComposite(usb, {MakerHardwareId()}, splitter);
    SimKernel::DeviceObject* audio = kernel_.AddFunction(whole, SimKernel::kMediaClass, {u"USB\\VID_X&MI_02"});
    SimKernel::DeviceObject* camera = kernel_.AddFunction(whole, SimKernel::kCameraClass, {u"USB\\VID_X&MI_00"});
    (void)audio;

    const uint64_t handle = Register(camera);
    EXPECT_EQ(Register(whole, 1), handle) << "the device itself, opened directly, is the same registration";
    const CallerUrb urb = MakeDeviceDescriptorUrb();
    ASSERT_EQ(SubmitControl(handle, urb.address, 1000), kStatusSuccess);
    EXPECT_EQ(Get<uint32_t>(Urb(urb), L().transfer_buffer_length), 18u);
    const uint8_t* descriptor = kernel_.CallerBytes(urb.buffer, 18);
    EXPECT_EQ(std::vector<uint8_t>(descriptor, descriptor + 18), usb.device);

    EXPECT_EQ(kernel_.References(camera), 1) << "the function is not kept referenced";
    EXPECT_EQ(kernel_.References(whole), 3);
    EXPECT_EQ(CloseDeviceControl(handle), kStatusSuccess);
    EXPECT_EQ(CloseDeviceControl(handle), kStatusSuccess);
    EXPECT_EQ(kernel_.References(whole), 1);
  }
}

// The splitter's device list belongs to the splitter, which may delete device objects at any time:
// the search for the parent never meets one that is gone.
TEST_F(DeviceControlTest, ParentSearchSkipsDeviceObjectsTheSplitterDeleted) {
  TestUsbDevice first_usb, second_usb;
  MakeMakerCamera(first_usb);
  MakeMakerCamera(second_usb);
  // The splitter's list, newest first: camera, gone function, gone parent, parent.
  SimKernel::DeviceObject* parent = kernel_.PlugComposite(first_usb, {MakerHardwareId()});
  SimKernel::DeviceObject* gone = kernel_.PlugComposite(second_usb, {MakerHardwareId()});
  SimKernel::DeviceObject* gone_function = kernel_.AddFunction(gone, SimKernel::kCameraClass, {});
  SimKernel::DeviceObject* camera = kernel_.AddFunction(parent, SimKernel::kCameraClass, {});
  kernel_.Unplug(gone);
  kernel_.DeleteDevice(gone->upper);
  kernel_.DeleteDevice(gone_function);

  const uint64_t handle = Register(camera);
  EXPECT_NE(handle, 0u);
  EXPECT_EQ(CloseDeviceControl(handle), kStatusSuccess);
  EXPECT_EQ(kernel_.References(parent), 1);
  EXPECT_EQ(kernel_.References(gone->upper), 0);
}

TEST_F(DeviceControlTest, FunctionWhoseParentCannotBeFoundIsRefused) {
  TestUsbDevice usb;
  MakeMakerCamera(usb);
  SimKernel::DeviceObject* whole = kernel_.PlugComposite(usb, {MakerHardwareId()});
  SimKernel::DeviceObject* camera = kernel_.AddFunction(whole, SimKernel::kCameraClass, {MakerHardwareId()});
  whole->upper->children.clear();  // the splitter no longer reports the function
  uint64_t handle = 1;
  EXPECT_EQ(OpenDeviceControl(kernel_.OpenInterface(camera), 0, &handle), kStatusUnsuccessful);
  EXPECT_EQ(handle, 0u);
  EXPECT_EQ(kernel_.References(camera), 1);
  EXPECT_EQ(kernel_.References(whole), 1);
}

TEST_F(DeviceControlTest, FailuresOfTheKernelOnTheWayRegisterNothing) {
  TestUsbDevice usb;
  SimKernel::DeviceObject* camera = PlugCamera(usb);
  uint64_t handle = 1;

  camera->name_query_fails = true;
  EXPECT_EQ(OpenDeviceControl(kernel_.OpenInterface(camera), 0, &handle), kStatusNoSuchDevice);
  camera->name_query_fails = false;

  kernel_.FailAllocationsOfSize(1024);  // the name buffer
  EXPECT_EQ(OpenDeviceControl(kernel_.OpenInterface(camera), 0, &handle), kStatusInsufficientResources);
  kernel_.FailAllocationsOfSize(0);

  camera->target_query_fails = true;
  EXPECT_EQ(OpenDeviceControl(kernel_.OpenInterface(camera), 0, &handle), kStatusNotSupported);
  camera->target_query_fails = false;

  EXPECT_EQ(handle, 0u);
  EXPECT_EQ(ext_.high_water, -1);
  EXPECT_EQ(kernel_.References(camera), 1);
}

// Only a handle of a device on a plug-and-play stack is asked for its device: a pipe or a file on a
// volume (whose stack is a file system's) is refused before any request reaches its stack.
TEST_F(DeviceControlTest, HandlesOfPipesAndFilesAreRefusedBeforeTheirStackIsAsked) {
  TestUsbDevice usb;
  SimKernel::DeviceObject* volume = PlugCamera(usb);  // a bus-enumerated device with a file system on it
  const uint64_t files[] = {kernel_.OpenPipe(), kernel_.OpenVolumeFile(volume)};
  for (uint64_t file : files) {
    uint64_t handle = 1;
    EXPECT_EQ(OpenDeviceControl(file, 0, &handle), kStatusInvalidParameter);
    EXPECT_EQ(handle, 0u);
  }
  EXPECT_EQ(ext_.high_water, -1);
  EXPECT_EQ(kernel_.References(volume), 1);
}

TEST_F(DeviceControlTest, FullTableRefusesAThirtyThirdDeviceAndGivesItsReferenceBack) {
  std::vector<std::unique_ptr<TestUsbDevice>> usbs;
  std::vector<SimKernel::DeviceObject*> cameras;
  std::vector<uint64_t> handles;
  for (int i = 0; i <= kRegisteredSlots; ++i) {
    usbs.push_back(std::make_unique<TestUsbDevice>());
    cameras.push_back(PlugCamera(*usbs.back()));
  }
  for (int i = 0; i < kRegisteredSlots; ++i) handles.push_back(Register(cameras[i]));
  EXPECT_EQ(ext_.high_water, kRegisteredSlots);

  uint64_t handle = 1;
  const uint64_t interface = kernel_.OpenInterface(cameras.back());
  EXPECT_EQ(OpenDeviceControl(interface, 0, &handle), kStatusInsufficientResources);
  EXPECT_EQ(handle, 0u);
  EXPECT_EQ(kernel_.References(cameras.back()), 1);
  EXPECT_EQ(Register(cameras[3]), handles[3]) << "a registered device still gets another use";
  EXPECT_EQ(CloseDeviceControl(handles[3]), kStatusSuccess);

  // A freed slot takes the new device, under a handle value the old one never had.
  EXPECT_EQ(CloseDeviceControl(handles[3]), kStatusSuccess);
  ASSERT_EQ(OpenDeviceControl(interface, 0, &handle), kStatusSuccess);
  EXPECT_NE(handle, handles[3]);
  EXPECT_EQ(CloseDeviceControl(handles[3]), kStatusInvalidParameter) << "a stale handle reaches nothing";

  // The high-water mark follows the highest slot in use.
  EXPECT_EQ(CloseDeviceControl(handles[31]), kStatusSuccess);
  EXPECT_EQ(ext_.high_water, 31);
  EXPECT_EQ(CloseDeviceControl(handles[30]), kStatusSuccess);
  EXPECT_EQ(ext_.high_water, 30);
}

TEST_F(DeviceControlTest, UnloadDropsEveryUseOfEveryRegisteredDevice) {
  TestUsbDevice a, b;
  SimKernel::DeviceObject* first = PlugCamera(a);
  SimKernel::DeviceObject* second = PlugCamera(b);
  Register(first);
  Register(first);
  Register(second);
  UnloadDevice(ext_);
  EXPECT_EQ(kernel_.References(first), 1);
  EXPECT_EQ(kernel_.References(second), 1);
  EXPECT_EQ(ext_.high_water, -1);
}

// A driver device handle is a value anyone can guess; it works only through the opener that
// registered it.
TEST_F(DeviceControlTest, HandlesWorkOnlyThroughTheOpenerThatRegisteredThem) {
  TestUsbDevice usb;
  SimKernel::DeviceObject* camera = PlugCamera(usb);
  const uint64_t first = kernel_.OpenDriver();
  const uint64_t second = kernel_.OpenDriver();
  const uint64_t handle = Register(camera, 0, first);
  const CallerUrb urb = MakeDeviceDescriptorUrb();

  EXPECT_EQ(SubmitControl(handle, urb.address, 1000, second), kStatusInvalidParameter);
  EXPECT_EQ(CloseDeviceControl(handle, second), kStatusInvalidParameter);
  EXPECT_EQ(kernel_.SubmittedRequests(), 0);

  // Registered by both: the same value, one use each.
  EXPECT_EQ(Register(camera, 0, second), handle);
  EXPECT_EQ(CloseDeviceControl(handle, second), kStatusSuccess);
  EXPECT_EQ(CloseDeviceControl(handle, second), kStatusInvalidParameter) << "the second opener's use is gone";
  EXPECT_EQ(SubmitControl(handle, urb.address, 1000, second), kStatusInvalidParameter);
  EXPECT_EQ(SubmitControl(handle, urb.address, 1000, first), kStatusSuccess);
  EXPECT_EQ(kernel_.References(camera), 2);
  kernel_.CloseDriver(first);
  kernel_.CloseDriver(second);
  EXPECT_EQ(kernel_.References(camera), 1);
}

// A process that ends without closing anything: the cleanup of its driver handle releases every
// registration made through it, also while one of its submissions is still with the device.
TEST_F(DeviceControlTest, CleanupOfAnExitingProcessReleasesItsRegistrations) {
  constexpr int kProcess = 7;
  TestUsbDevice a, b;
  SimKernel::DeviceObject* first = PlugCamera(a);
  SimKernel::DeviceObject* second = PlugCamera(b);
  const uint64_t kept = Register(first);  // the test's own opener keeps its use
  const uint64_t opener = kernel_.OpenDriver(kProcess);
  const uint64_t handle = Register(first, 0, opener);
  Register(first, 0, opener);
  const uint64_t other = Register(second, 0, opener);
  EXPECT_EQ(kernel_.References(first), 4);
  EXPECT_EQ(kernel_.RegistryDword(kServiceKey, kRefCountValue), 2u);

  const CallerUrb urb = MakeDeviceDescriptorUrb();
  b.Hold();
  NtStatus submitted = kStatusPending;
  std::thread submitter([&] { submitted = SubmitControl(other, urb.address, 5000, opener); });
  b.WaitUntilEntered();
  kernel_.ExitProcess(kProcess);
  EXPECT_EQ(kernel_.RegistryDword(kServiceKey, kRefCountValue), 1u) << "cleanup counts at once";
  EXPECT_EQ(kernel_.References(first), 2) << "the process's two uses are gone";
  EXPECT_EQ(kernel_.References(second), 2) << "only the running submission still holds the device";
  b.Release();
  submitter.join();
  EXPECT_EQ(submitted, kStatusSuccess);
  EXPECT_EQ(kernel_.References(second), 1);

  EXPECT_EQ(SubmitControl(handle, urb.address, 1000), kStatusSuccess) << "the other opener's use";
  EXPECT_EQ(kept, handle);
  EXPECT_EQ(CloseDeviceControl(kept), kStatusSuccess);
  EXPECT_EQ(kernel_.References(first), 1);
  EXPECT_EQ(ext_.high_water, -1);
}

// A registered device that goes away, plain or as the whole of a composite device: a submission
// still with it fails, and later ones fail without a request being sent, until close-device.
TEST_F(DeviceControlTest, RemovedDeviceTakesNoMoreRequests) {
  for (bool composite : {false, true}) {
    SCOPED_TRACE(composite ? "composite" : "single function");
    TestUsbDevice usb;
    SimKernel::DeviceObject* device = nullptr;
    SimKernel::DeviceObject* interface = nullptr;
    if (composite) {
      MakeMakerCamera(usb);
      device = kernel_.PlugComposite(usb, {MakerHardwareId()});
      interface = kernel_.AddFunction(device, SimKernel::kCameraClass, {u"USB\\VID_X&MI_00"});
    } else {
      device = interface = PlugCamera(usb);
    }
    const uint64_t handle = Register(interface);
    const CallerUrb urb = MakeDeviceDescriptorUrb();

    usb.Hold();
    NtStatus waiting = kStatusPending;
    std::thread submitter([&] { waiting = SubmitControl(handle, urb.address, 5000); });
    usb.WaitUntilEntered();
    kernel_.Unplug(device);
    usb.Release();
    submitter.join();
    EXPECT_FALSE(IsSuccess(waiting));

    const int sent = kernel_.SubmittedRequests();
    EXPECT_EQ(SubmitControl(handle, urb.address, 5000), kStatusDeviceRemoved);
    EXPECT_EQ(kernel_.SubmittedRequests(), sent);
    EXPECT_EQ(CloseDeviceControl(handle), kStatusSuccess);
    EXPECT_EQ(kernel_.References(device), 0);
    EXPECT_EQ(kernel_.OutstandingWatches(), 0);
  }

  // A removal heard of after the watch started, before the registration reached its slot.
  TestUsbDevice usb;
  SimKernel::DeviceObject* camera = PlugCamera(usb);
  NoteDeviceRemoval(&ext_, uint32_t(ext_.watch_sequence + 1));  // the next watch's id
  const uint64_t handle = Register(camera);
  EXPECT_EQ(SubmitControl(handle, MakeDeviceDescriptorUrb().address, 1000), kStatusDeviceRemoved);
  EXPECT_EQ(CloseDeviceControl(handle), kStatusSuccess);
}

// An orderly disable or removal asks first: the driver gives its hold on the device up (the
// registration then fails as after a removal), so only a handle the caller still holds can refuse it.
TEST_F(DeviceControlTest, OrderlyRemovalOfARegisteredCameraIsNotRefusedByTheDriver) {
  TestUsbDevice usb;
  SimKernel::DeviceObject* camera = PlugCamera(usb);
  const uint64_t interface = kernel_.OpenInterface(camera);
  uint64_t handle = 0;
  ASSERT_EQ(OpenDeviceControl(interface, 0, &handle), kStatusSuccess);
  EXPECT_FALSE(kernel_.QueryRemove(camera));  // the caller's own interface handle holds it
  kernel_.CloseInterface(interface);
  EXPECT_TRUE(kernel_.QueryRemove(camera));

  const int sent = kernel_.SubmittedRequests();
  EXPECT_EQ(SubmitControl(handle, MakeDeviceDescriptorUrb().address, 1000), kStatusDeviceRemoved);
  EXPECT_EQ(kernel_.SubmittedRequests(), sent);
  EXPECT_EQ(CloseDeviceControl(handle), kStatusSuccess);
  EXPECT_EQ(kernel_.References(camera), 0);
  EXPECT_EQ(kernel_.OutstandingWatches(), 0);
}

TEST(ControlBlockLayout, HandleHalvesAndFieldsSurviveBothLayouts) {
  const kv::ControlRequest r{.interface_handle = 0x1234, .device_handle = 0x89ABCDEF'01234567,
                             .urb_address = 0x5000, .timeout_ms = 300, .transport_kind = 2};
  const auto wide = kv::EncodeControlBlock<kv::ControlBlock64>(r);
  const auto narrow = kv::EncodeControlBlock<kv::ControlBlock32>(r);
  EXPECT_EQ(wide.handle_low, 0x01234567u);
  EXPECT_EQ(wide.handle_high, 0x89ABCDEFu);
  for (const kv::ControlRequest& back : {kv::DecodeControlBlock(wide), kv::DecodeControlBlock(narrow)}) {
    EXPECT_EQ(back.device_handle, r.device_handle);
    EXPECT_EQ(back.interface_handle, r.interface_handle);
    EXPECT_EQ(back.urb_address, r.urb_address);
    EXPECT_EQ(back.timeout_ms, r.timeout_ms);
    EXPECT_EQ(back.transport_kind, r.transport_kind);
  }
}

}  // namespace
}  // namespace fcp::driver::test
