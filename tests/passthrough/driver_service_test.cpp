// The driver's installation shared by several tool processes on one simulated Windows machine: who
// installs, replaces, opens and removes it, which file it comes from, the blocks each kind of process
// builds, and what every failure leaves behind.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "fcp/maker_ids.h"
#include "passthrough/driver_service.h"
#include "passthrough/image_version.h"
#include "passthrough/kvxupx.h"
#include "passthrough/platform_selection.h"
#include "sim/devices.h"
#include "sim/kernel/workstation_pipe.h"
#include "sim/windows/sim_windows.h"
#include "sim/workstation.h"
#include "text/ascii_case.h"

namespace fcp::passthrough {
namespace {

using sim::windows::SimDriverImage;
using sim::windows::SimDriverImages;
using sim::windows::SimWindows;
using sim::windows::SimWindowsProcess;
using sim::kernel::SimKernel;

constexpr os::FileVersion kEmbedded{{1, 0, 0, 1}};
const std::wstring kInstalled = L"C:\\Windows\\System32\\drivers\\KvxUpx.sys";
const std::wstring kKept = L"C:\\Users\\Operator\\AppData\\Local\\Temp\\KvxUpx_n.sys";
const std::wstring kScratch = L"C:\\Users\\Operator\\AppData\\Local\\Temp\\KvxUpx_s.sys";
const std::wstring kOverride = L"C:\\KvxUpx.sys";
const std::wstring kTempUpper = L"C:\\USERS\\OPERATOR\\APPDATA\\LOCAL\\TEMP\\";

// Nothing was written or deleted in the temporary directory, which the user controls.
void ExpectTempUntouched(const SimWindows& machine) {
  for (const std::wstring& path : machine.FilesChanged()) EXPECT_NE(path.rfind(kTempUpper, 0), 0u) << "changed in temp";
}

// One tool process: its ports on the machine and its own driver state.
struct Tool {
  Tool(SimWindows& windows, const DriverImages& images, bool is_64bit = true)
      : process(windows.StartProcess(is_64bit)),
        service({process.get(), process.get(), process.get()}, images, is_64bit) {}
  std::unique_ptr<SimWindowsProcess> process;
  DriverService service;
};

class DriverServiceTest : public ::testing::Test {
 protected:
  std::unique_ptr<Tool> NewTool(bool is_64bit = true) { return std::make_unique<Tool>(windows_, images_.Images(), is_64bit); }

  // Nothing a later run could trip over: no service, no driver file in the system directory, no
  // scratch file, no service key, no mutex.
  void ExpectNothingLeft() {
    EXPECT_FALSE(windows_.ServiceNamed(L"KvxUpx").has_value());
    EXPECT_FALSE(windows_.HasFile(kInstalled));
    EXPECT_FALSE(windows_.HasFile(kScratch));
    EXPECT_FALSE(windows_.RefCount().has_value());
    EXPECT_FALSE(windows_.MutexExists(kRefCountMutexName));
  }
  std::optional<os::FileVersion> LoadedVersion() { return ImageFileVersion(windows_.LoadedImage()); }

  SimWindows windows_{os::kMachineAmd64};
  SimDriverImages images_{kEmbedded};
};

TEST_F(DriverServiceTest, FirstUserInstallsOthersShareTheLastRemoves) {
  auto first = NewTool(), second = NewTool();
  ASSERT_EQ(first->service.Init(), 1);
  const auto service = windows_.ServiceNamed(L"KvxUpx");
  ASSERT_TRUE(service);
  EXPECT_TRUE(text::EqualsIgnoringCase(service->binary_path, kInstalled)) << service->binary_path;
  EXPECT_EQ(service->type, os::kServiceKernelDriver);
  EXPECT_EQ(service->start, os::kServiceDemandStart);
  EXPECT_EQ(service->state, os::kServiceRunning);
  EXPECT_EQ(service->display_name, L"KvxUpx");
  EXPECT_EQ(service->error_control, os::kServiceErrorIgnore);
  EXPECT_EQ(service->access, os::kServiceCreateAccess);
  EXPECT_EQ(windows_.FileBytes(kInstalled), SimDriverImage(os::kMachineAmd64, kEmbedded));
  EXPECT_FALSE(windows_.HasFile(kKept));
  EXPECT_FALSE(windows_.HasFile(kScratch));
  EXPECT_EQ(windows_.RefCount(), 1u);
  EXPECT_EQ(first->service.Init(), 1);  // already open: nothing more
  EXPECT_EQ(windows_.RefCount(), 1u);

  ASSERT_EQ(second->service.Init(), 1);
  EXPECT_EQ(windows_.RefCount(), 2u);
  EXPECT_EQ(windows_.DriverLoads(), 1);

  EXPECT_EQ(first->service.Close(), 1);
  EXPECT_EQ(windows_.RefCount(), 1u);
  // Neither stopped nor marked for deletion while the second still uses it.
  ASSERT_TRUE(windows_.ServiceNamed(L"KvxUpx"));
  EXPECT_EQ(windows_.ServiceNamed(L"KvxUpx")->state, os::kServiceRunning);
  EXPECT_FALSE(windows_.ServiceNamed(L"KvxUpx")->delete_pending);
  EXPECT_EQ(second->service.Close(), 1);
  ExpectNothingLeft();
  ExpectTempUntouched(windows_);
  EXPECT_EQ(windows_.CallsWithRedirectionOff(), 0);
  EXPECT_EQ(first->process->OpenHandles(), 0u);
  EXPECT_EQ(second->process->OpenHandles(), 0u);
}

TEST_F(DriverServiceTest, ASecondUserNeitherStopsNorReplacesARunningDriver) {
  auto first = NewTool();
  ASSERT_EQ(first->service.Init(), 1);
  SimDriverImages newer(os::FileVersion{{1, 0, 0, 7}});
  Tool second(windows_, newer.Images());
  ASSERT_EQ(second.service.Init(), 1);
  EXPECT_EQ(windows_.DriverLoads(), 1);
  EXPECT_EQ(windows_.FileBytes(kInstalled), SimDriverImage(os::kMachineAmd64, kEmbedded));
  second.service.Close();
  first->service.Close();
  ExpectNothingLeft();
}

TEST_F(DriverServiceTest, ARunningDriverNobodyUsesIsStoppedAndReplaced) {
  // A process started the driver and died before opening it: running, "RefCount" 0.
  auto crashed = NewTool();
  ASSERT_EQ(crashed->service.Init(), 1);
  crashed->process->Die();
  ASSERT_EQ(windows_.RefCount(), 0u);
  ASSERT_EQ(windows_.ServiceNamed(L"KvxUpx")->state, os::kServiceRunning);

  SimDriverImages newer(os::FileVersion{{1, 0, 0, 7}});
  Tool next(windows_, newer.Images());
  ASSERT_EQ(next.service.Init(), 1);
  EXPECT_EQ(windows_.DriverLoads(), 2);
  EXPECT_EQ(LoadedVersion(), (os::FileVersion{{1, 0, 0, 7}}));  // not the one it replaced
  next.service.Close();
  ExpectNothingLeft();
}

TEST_F(DriverServiceTest, AnUnreadableCountCountsAsNoUsers) {
  // The driver runs and nobody uses it, but its count cannot be read: it is replaced as if the count
  // were 0 (a running driver is only kept for users the count shows).
  struct Case {
    const char* what;
    void (*spoil)(sim::windows::RegistryView&, const std::wstring& key);
  };
  const Case cases[] = {
      {"no value", [](sim::windows::RegistryView& r, const std::wstring& key) { r.DeleteValue(key, L"RefCount"); }},
      {"a string", [](sim::windows::RegistryView& r, const std::wstring& key) { r.SetString(key, L"RefCount", L"1"); }},
      {"too short", [](sim::windows::RegistryView& r, const std::wstring& key) {
         r.SetValue(key, L"RefCount", os::kRegDword, {1, 0});
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SimWindows machine;
    {
      Tool crashed(machine, images_.Images());
      ASSERT_EQ(crashed.service.Init(), 1);
      crashed.process->Die();
    }
    c.spoil(machine.Registry(), L"System\\CurrentControlSet\\Services\\KvxUpx");
    SimDriverImages newer(os::FileVersion{{1, 0, 0, 7}});
    Tool next(machine, newer.Images());
    ASSERT_EQ(next.service.Init(), 1);
    EXPECT_EQ(machine.DriverLoads(), 2);
    EXPECT_EQ(machine.LoadedImage(), SimDriverImage(os::kMachineAmd64, {{1, 0, 0, 7}}));
    next.service.Close();
  }
}

TEST_F(DriverServiceTest, AProcessThatDiesHoldingTheDriverOrTheMutexBlocksNoOne) {
  auto survivor = NewTool(), dying = NewTool();
  ASSERT_EQ(survivor->service.Init(), 1);
  ASSERT_EQ(dying->service.Init(), 1);
  EXPECT_EQ(windows_.RefCount(), 2u);
  dying->process->Die();  // the system closes its handle of the driver's device
  EXPECT_EQ(windows_.RefCount(), 1u);

  // Another one dies while holding the mutex: the next waiter gets it abandoned and carries on.
  auto holder = windows_.StartProcess();
  const os::SystemHandle mutex = holder->CreateNamedMutex(kRefCountMutexName);
  ASSERT_EQ(holder->WaitForObject(mutex, os::kInfinite), os::kWaitObject0);
  holder->Die();
  auto late = NewTool();
  EXPECT_EQ(late->service.Init(), 1);
  EXPECT_EQ(windows_.RefCount(), 2u);
  late->service.Close();
  survivor->service.Close();
  ExpectNothingLeft();
}

TEST_F(DriverServiceTest, TheLastUserWaitsForTheDriverToHearItsClose) {
  windows_.DeliverClosesLate(true);
  auto first = NewTool(), second = NewTool();
  ASSERT_EQ(first->service.Init(), 1);
  ASSERT_EQ(second->service.Init(), 1);
  first->service.Close();
  EXPECT_EQ(windows_.RefCount(), 1u);
  EXPECT_TRUE(windows_.ServiceNamed(L"KvxUpx"));
  second->service.Close();
  ExpectNothingLeft();
}

TEST_F(DriverServiceTest, AStaleCountOfAStoppedDriverMisleadsNoOne) {
  // A power loss left the service stopped with the count of its last users in its key.
  auto crashed = NewTool();
  ASSERT_EQ(crashed->service.Init(), 1);
  crashed->process->Die();
  auto admin = windows_.StartProcess();
  const os::SystemHandle manager = admin->OpenServiceManager(os::kScManagerAllAccess);
  const os::SystemHandle service = admin->OpenDriverService(manager, L"KvxUpx", os::kServiceAllAccess);
  DWORD state = 0;
  ASSERT_TRUE(admin->ControlDriverService(service, os::kServiceControlStop, &state));
  admin->CloseServiceManagerHandle(service);
  admin->CloseServiceManagerHandle(manager);
  windows_.Registry().SetDword(L"System\\CurrentControlSet\\Services\\KvxUpx", L"RefCount", 3);

  auto next = NewTool();
  ASSERT_EQ(next->service.Init(), 1);
  EXPECT_EQ(windows_.ServiceNamed(L"KvxUpx")->state, os::kServiceRunning);
  EXPECT_EQ(windows_.RefCount(), 1u);  // the driver counts afresh
  next->service.Close();
  ExpectNothingLeft();
}

TEST_F(DriverServiceTest, CloseWithoutInitTouchesNothing) {
  auto owner = NewTool();
  ASSERT_EQ(owner->service.Init(), 1);
  owner->process->Die();  // the driver runs on with "RefCount" 0
  auto idle = NewTool();
  EXPECT_EQ(idle->service.Close(), 1);
  EXPECT_TRUE(windows_.ServiceNamed(L"KvxUpx"));
  EXPECT_TRUE(windows_.HasFile(kInstalled));
  EXPECT_EQ(idle->process->OpenHandles(), 0u);
}

TEST_F(DriverServiceTest, NoImageComesFromTheTempDirectoryAndAnInstalledOneOnlyWhenTrustworthyAndNotOlder) {
  using os::Principal;
  const os::FileSecurity admins{Principal::kAdministrators, {Principal::kAdministrators, Principal::kSystem}};
  const os::FileSecurity user{Principal::kOther, {Principal::kOther}};
  struct Case {
    const char* what;
    std::optional<std::vector<uint8_t>> kept;  // planted in the temporary directory before the run
    os::FileSecurity kept_security;
    std::optional<std::vector<uint8_t>> installed;  // in the system directory before the run (no service)
    os::FileSecurity installed_security;
    bool installed_is_link;
    os::FileVersion loaded;
  };
  auto image = [](os::FileVersion v) { return SimDriverImage(os::kMachineAmd64, v); };
  const Case cases[] = {
      {"nothing there", std::nullopt, user, std::nullopt, admins, false, kEmbedded},
      {"a newer copy in temp by another user", image({{9, 9, 9, 9}}), user, std::nullopt, admins, false, kEmbedded},
      {"a newer copy in temp owned by the administrators", image({{9, 9, 9, 9}}), admins, std::nullopt, admins, false,
       kEmbedded},
      {"installed file older", std::nullopt, user, image({{1, 0, 0, 0}}), admins, false, kEmbedded},
      {"installed file older in one part only", std::nullopt, user, image({{2, 0, 0, 0}}), admins, false, kEmbedded},
      {"installed file without a version", std::nullopt, user, std::vector<uint8_t>(64, 0xCC), admins, false,
       kEmbedded},
      {"installed file newer", std::nullopt, user, image({{1, 0, 0, 5}}), admins, false, {{1, 0, 0, 5}}},
      {"installed file the same", std::nullopt, user, image(kEmbedded), admins, false, kEmbedded},
      {"installed file newer but a user may write it", std::nullopt, user, image({{1, 0, 0, 5}}),
       {Principal::kAdministrators, {Principal::kAdministrators, Principal::kOther}}, false, kEmbedded},
      {"installed file newer but a link", std::nullopt, user, image({{1, 0, 0, 5}}), admins, true, kEmbedded},
  };
  const std::vector<uint8_t> planted_scratch = image({{8, 0, 0, 0}});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SimWindows machine;
    if (c.kept) machine.PutFile(kKept, *c.kept, c.kept_security);
    machine.PutFile(kScratch, planted_scratch, user);
    if (c.installed && c.installed_is_link) machine.PutLink(kInstalled, *c.installed, c.installed_security);
    if (c.installed && !c.installed_is_link) machine.PutFile(kInstalled, *c.installed, c.installed_security);
    Tool tool(machine, images_.Images());
    ASSERT_EQ(tool.service.Init(), 1);
    EXPECT_EQ(machine.LoadedImage(), image(c.loaded));
    EXPECT_EQ(machine.FileBytes(kInstalled), image(c.loaded));
    tool.service.Close();
    EXPECT_FALSE(machine.HasFile(kInstalled));
    // What the user put in the temporary directory is neither read, nor replaced, nor deleted.
    EXPECT_EQ(machine.FileBytes(kKept), c.kept);
    EXPECT_EQ(machine.FileBytes(kScratch), planted_scratch);
    ExpectTempUntouched(machine);
  }
}

TEST_F(DriverServiceTest, ALocalOverrideIsInstalledOnlyWhenOnlyAdministratorsCouldHaveWrittenIt) {
  using os::Principal;
  struct Case {
    const char* what;
    os::FileSecurity security;
    bool used;
  };
  const Case cases[] = {
      {"owned by the administrators", {Principal::kAdministrators, {Principal::kAdministrators, Principal::kSystem}}, true},
      {"owned by the system", {Principal::kSystem, {Principal::kSystem, Principal::kTrustedInstaller}}, true},
      {"owned by a user", {Principal::kOther, {Principal::kOther}}, false},
      {"writable by every signed-in user", {Principal::kAdministrators, {Principal::kAdministrators, Principal::kOther}},
       false},
      {"owned by the installer service", {Principal::kTrustedInstaller, {Principal::kTrustedInstaller}}, false},
      {"a link, though to an administrators' file", {Principal::kAdministrators, {Principal::kAdministrators}}, false},
  };
  const auto override_image = SimDriverImage(os::kMachineAmd64, {{9, 0, 0, 0}});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SimWindows machine;
    if (std::string(c.what).find("link") != std::string::npos) {
      machine.PutLink(kOverride, override_image, c.security);
    } else {
      machine.PutFile(kOverride, override_image, c.security);
    }
    Tool tool(machine, images_.Images());
    ASSERT_EQ(tool.service.Init(), 1);
    EXPECT_EQ(machine.LoadedImage(), c.used ? override_image : SimDriverImage(os::kMachineAmd64, kEmbedded));
    EXPECT_EQ(machine.FileBytes(kInstalled), machine.LoadedImage());
    ExpectTempUntouched(machine);
    tool.service.Close();
    EXPECT_FALSE(machine.HasFile(kInstalled));
    EXPECT_TRUE(machine.HasFile(kOverride));
  }
}

// A chip camera on the simulated kernel, and an interface handle of it the driver accepts.
struct PluggedCamera {
  explicit PluggedCamera(SimKernel& kernel)
      : workstation(std::make_shared<sim::Workstation>()), camera(sim::MakeChipCamera("cam0", {1})) {
    workstation->AddDevice(camera);
    pipe = std::make_unique<sim::kernel::WorkstationPipe>(*workstation, camera);
    std::string pattern = maker::kVendorPattern;
    pattern.pop_back();
    const std::string id = pattern + "&PID_F202&REV_0100";
    device = kernel.PlugDevice(*pipe, SimKernel::kCameraClass, {std::u16string(id.begin(), id.end())});
    interface_handle = static_cast<uintptr_t>(kernel.OpenInterface(device));
  }
  std::shared_ptr<sim::Workstation> workstation;
  std::shared_ptr<sim::UsbDevice> camera;
  std::unique_ptr<sim::kernel::WorkstationPipe> pipe;
  SimKernel::DeviceObject* device = nullptr;
  uintptr_t interface_handle = 0;
};

TEST_F(DriverServiceTest, EachWindowsGetsItsImageAndItsKernelsLayouts) {
  struct Case {
    const char* what;
    uint16_t machine;
    bool process_64bit;
    uint16_t image_machine;
    uint32_t control_block;
    uint16_t request_block;
  };
  const Case cases[] = {
      {"x64, 64-bit tool", os::kMachineAmd64, true, os::kMachineAmd64, 40, 136},
      {"x64, 32-bit tool", os::kMachineAmd64, false, os::kMachineAmd64, 40, 136},
      {"ARM64, 32-bit tool", os::kMachineArm64, false, os::kMachineArm64, 40, 136},
      {"ARM64, 64-bit tool", os::kMachineArm64, true, os::kMachineArm64, 40, 136},
      {"x86", os::kMachineI386, false, os::kMachineI386, 32, 80},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SimWindows machine(c.machine);
    PluggedCamera camera(machine.Kernel());
    Tool tool(machine, images_.Images(), c.process_64bit);
    ASSERT_EQ(tool.service.Init(), 1);
    EXPECT_EQ(machine.LoadedImage(), SimDriverImage(c.image_machine, kEmbedded));
    EXPECT_EQ(tool.service.Layout().urb.size, c.request_block);

    uint32_t low = 0xFFFF, high = 0xFFFF;
    ASSERT_EQ(tool.service.OpenDevice(0, camera.interface_handle, &low, &high), 1);
    EXPECT_NE(uint64_t(high) << 32 | low, 0u);
    if (c.control_block == 40) {  // the simulated 32-bit kernel forwards no request blocks
      uint8_t descriptor[18] = {};
      ASSERT_EQ(tool.service.GetDeviceDescriptor(low, high, descriptor), 1);
      EXPECT_EQ(std::vector<uint8_t>(descriptor, descriptor + 18), camera.camera->Descriptors().device);
      ASSERT_FALSE(machine.RequestBlocks().empty());
      EXPECT_EQ(machine.RequestBlocks().back().size(), c.request_block);
    }
    EXPECT_EQ(tool.service.CloseDevice(low, high), 1);
    for (const auto& block : machine.ControlBlocks()) EXPECT_EQ(block.size(), c.control_block);
    tool.service.Close();
    EXPECT_FALSE(machine.ServiceNamed(L"KvxUpx"));
    // The file went from the real system directory, not the 32-bit one, and redirection is back on,
    // having been off for file steps only.
    EXPECT_FALSE(machine.HasFile(kInstalled));
    for (const std::wstring& path : machine.Files()) EXPECT_EQ(path.find(L"SYSWOW64"), std::wstring::npos) << "wrong directory";
    EXPECT_FALSE(tool.process->RedirectionIsOff());
    EXPECT_EQ(machine.CallsWithRedirectionOff(), 0);
  }
}

TEST_F(DriverServiceTest, EveryFailureLeavesNothingALaterRunTripsOver) {
  struct Case {
    const char* what;
    void (*fault)(SimWindows&, Tool&);
  };
  const Case cases[] = {
      {"installed file cannot be written", [](SimWindows& w, Tool&) { w.FailWritesTo(L"drivers"); }},
      {"service cannot be created", [](SimWindows& w, Tool&) { w.FailCreateService(true); }},
      {"service does not start", [](SimWindows& w, Tool&) { w.FailStartService(true); }},
      {"device does not open", [](SimWindows& w, Tool&) { w.FailDeviceOpen(true); }},
      {"unsupported processor", [](SimWindows&, Tool&) {}},
      {"system directory unknown", [](SimWindows& w, Tool&) { w.Queries().directories_unknown = true; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    // The unsupported case needs a machine whose processor the tool does not know.
    SimWindows machine(std::string(c.what) == "unsupported processor" ? uint16_t(0x01C4) : os::kMachineAmd64);
    {
      Tool tool(machine, images_.Images());
      c.fault(machine, tool);
      EXPECT_EQ(tool.service.Init(), 0);
      EXPECT_EQ(tool.process->OpenHandles(), 0u);
    }
    EXPECT_FALSE(machine.ServiceNamed(L"KvxUpx").has_value());
    EXPECT_FALSE(machine.HasFile(kInstalled));
    EXPECT_FALSE(machine.HasFile(kScratch));
    EXPECT_FALSE(machine.MutexExists(kRefCountMutexName));
    for (const std::wstring& path : machine.Files()) EXPECT_EQ(path.rfind(L"C:\\", 0), 0u) << "no drive";
    if (machine.NativeMachine() != os::kMachineAmd64) continue;
    // The fault gone, the next run works and cleans up.
    machine.FailWritesTo(L"");
    machine.FailCreateService(false);
    machine.FailStartService(false);
    machine.FailDeviceOpen(false);
    machine.Queries().directories_unknown = false;
    Tool next(machine, images_.Images());
    EXPECT_EQ(next.service.Init(), 1);
    next.service.Close();
    EXPECT_FALSE(machine.ServiceNamed(L"KvxUpx").has_value());
  }
}

TEST_F(DriverServiceTest, Wow64ToolNeedsRedirectionOff) {
  for (const bool missing : {true, false}) {
    SCOPED_TRACE(missing ? "functions missing" : "turning off fails");
    SimWindows machine;
    machine.Queries().fs_redirection = !missing;
    machine.Queries().disable_redirection_fails = !missing;
    Tool tool(machine, images_.Images(), false);
    EXPECT_EQ(tool.service.Init(), 0);
    EXPECT_TRUE(tool.service.Layout().wide);
    EXPECT_TRUE(machine.Files().empty());
    EXPECT_FALSE(machine.MutexExists(kRefCountMutexName));
  }
}

// Any process can create the mutexes and hold them: a run waits a bounded time, then fails having
// touched nothing. The shared name serialises tools of different sessions; the session's own name
// keeps older tools, which take only that, out.
TEST_F(DriverServiceTest, AMutexHeldForeverEndsTheRunWithoutTouchingAnything) {
  struct Case {
    const char* what;
    const wchar_t* name;
    uint32_t holder_session;
    bool init_ok;
  };
  const Case cases[] = {
      {"a process of this session holds the session's mutex", kRefCountMutexName, 1, false},
      {"a tool of the services' session holds the shared one", kGlobalRefCountMutexName, 0, false},
      {"a process of another session holds the shared one", kGlobalRefCountMutexName, 2, false},
      {"a process of another session holds that session's", kRefCountMutexName, 0, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SimWindows machine;
    auto holder = machine.StartProcess(true, c.holder_session);
    ASSERT_EQ(holder->WaitForObject(holder->CreateNamedMutex(c.name), 0), os::kWaitObject0);
    holder->Hang();
    Tool tool(machine, images_.Images());
    EXPECT_EQ(tool.service.Init(), c.init_ok ? 1 : 0);
    EXPECT_EQ(machine.EndlessWaits(), 0);
    if (!c.init_ok) {
      EXPECT_FALSE(machine.ServiceNamed(L"KvxUpx"));
      EXPECT_TRUE(machine.FilesChanged().empty());
      EXPECT_EQ(tool.process->OpenHandles(), 0u);
    }
    tool.service.Close();
    EXPECT_FALSE(machine.ServiceNamed(L"KvxUpx"));
    EXPECT_EQ(tool.process->OpenHandles(), 0u);
  }
}

TEST_F(DriverServiceTest, CloseLeavesTheServiceToOthersWhenTheMutexCannotBeHad) {
  for (const wchar_t* name : {kRefCountMutexName, kGlobalRefCountMutexName}) {
    SCOPED_TRACE(name == kRefCountMutexName ? "session's" : "shared");
    SimWindows machine;
    Tool tool(machine, images_.Images());
    ASSERT_EQ(tool.service.Init(), 1);
    auto holder = machine.StartProcess();
    ASSERT_EQ(holder->WaitForObject(holder->CreateNamedMutex(name), 0), os::kWaitObject0);
    holder->Hang();
    EXPECT_EQ(tool.service.Close(), 1);
    EXPECT_EQ(machine.EndlessWaits(), 0);
    EXPECT_EQ(machine.RefCount(), 0u);  // the handle is closed all the same
    ASSERT_TRUE(machine.ServiceNamed(L"KvxUpx"));
    EXPECT_EQ(machine.ServiceNamed(L"KvxUpx")->state, os::kServiceRunning);
    EXPECT_TRUE(machine.HasFile(kInstalled));
    EXPECT_EQ(tool.process->OpenHandles(), 0u);
  }
}

// The machine's device, with the transferred length of every submitted request block rewritten
// after the driver has answered: a device that sent another count than it was asked for.
class TransferLengthRewriter final : public os::DriverDevice {
 public:
  explicit TransferLengthRewriter(SimWindowsProcess& machine) : machine_(machine) {}
  std::optional<uint32_t> reported_length;

  os::SystemHandle Open(const std::wstring& path) override { return machine_.Open(path); }
  BOOL Close(os::SystemHandle device) override { return machine_.Close(device); }
  BOOL IoControl(os::SystemHandle device, DWORD code, void* in, DWORD in_size, void* out, DWORD out_size,
                 DWORD* returned) override {
    const BOOL ok = machine_.IoControl(device, code, in, in_size, out, out_size, returned);
    if (ok && code == kvxupx::kIoctlSubmitUrb && reported_length && in_size == sizeof(kvxupx::ControlBlock64)) {
      kvxupx::ControlBlock64 block;
      std::memcpy(&block, in, sizeof block);
      auto* urb = reinterpret_cast<uint8_t*>(static_cast<uintptr_t>(kvxupx::DecodeControlBlock(block).urb_address));
      std::memcpy(urb + kvxupx::kUrbLayout64.transfer_buffer_length, &*reported_length, 4);
    }
    return ok;
  }

 private:
  SimWindowsProcess& machine_;
};

TEST_F(DriverServiceTest, TheDescriptorReadAllowsFiveSecondsAndWantsExactlyEighteenBytes) {
  PluggedCamera camera(windows_.Kernel());
  auto process = windows_.StartProcess();
  TransferLengthRewriter device(*process);
  DriverService service({process.get(), &device, process.get()}, images_.Images());
  ASSERT_EQ(service.Init(), 1);
  uint32_t low = 0, high = 0;
  ASSERT_EQ(service.OpenDevice(0, camera.interface_handle, &low, &high), 1);
  struct Case {
    const char* what;
    std::optional<uint32_t> reported;
    int result;
  };
  const Case cases[] = {
      {"all 18 bytes", std::nullopt, 1},
      {"8 bytes", 8, 0},
      {"none", 0, 0},
      {"more than the buffer", 19, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    device.reported_length = c.reported;
    uint8_t descriptor[18] = {};
    EXPECT_EQ(service.GetDeviceDescriptor(low, high, descriptor), c.result);
    const std::vector<uint8_t> sent = windows_.ControlBlocks().back();
    ASSERT_EQ(sent.size(), sizeof(kvxupx::ControlBlock64));
    kvxupx::ControlBlock64 block;
    std::memcpy(&block, sent.data(), sizeof block);
    EXPECT_EQ(kvxupx::DecodeControlBlock(block).timeout_ms, 5000u);
  }
  EXPECT_EQ(service.CloseDevice(low, high), 1);
  service.Close();
}

TEST_F(DriverServiceTest, ControlsOfAClosedDriverOrABadHandleFailWithTheirError) {
  auto tool = NewTool();
  uint32_t low = 7, high = 7;
  EXPECT_EQ(tool->service.OpenDevice(0, kInvalidInterfaceHandle, &low, &high), 0);
  EXPECT_EQ(tool->process->LastError(), os::kErrorInvalidParameter);
  EXPECT_EQ(low | high, 0u);
  EXPECT_EQ(tool->service.OpenDevice(0, 0x104, &low, &high), 0);
  EXPECT_EQ(tool->process->LastError(), os::kErrorPathNotFound);
  EXPECT_EQ(tool->service.CloseDevice(1, 0), 0);
  uint8_t descriptor[18];
  EXPECT_EQ(tool->service.GetDeviceDescriptor(1, 0, descriptor), 0);

  ASSERT_EQ(tool->service.Init(), 1);
  // The driver refuses a handle nobody opened and a device handle it never gave out.
  EXPECT_EQ(tool->service.OpenDevice(0, 0x7777'0000, &low, &high), 0);
  EXPECT_EQ(tool->service.CloseDevice(0x55, 0), 0);
  EXPECT_EQ(tool->process->LastError(), os::kErrorInvalidParameter);
  EXPECT_EQ(tool->service.GetDeviceDescriptor(0x55, 0, descriptor), 0);
  tool->service.Close();
}

TEST_F(DriverServiceTest, TheProcessWideFunctionsUseTheInstalledPorts) {
  PluggedCamera camera(windows_.Kernel());
  auto process = windows_.StartProcess();
  sim::windows::ScopedProcessPorts ports(*process);
  ProcessDriverService().SetImages(images_.Images());
  ASSERT_EQ(KvxUpx_Init(), 1);
  uint32_t low = 0, high = 0;
  ASSERT_EQ(KvxUpx_OpenDevice(0, camera.interface_handle, &low, &high), 1);
  uint8_t descriptor[18] = {};
  EXPECT_EQ(KvxUpx_GetDeviceDescriptor(low, high, descriptor), 1);
  EXPECT_EQ(descriptor[1], 1);
  EXPECT_EQ(KvxUpx_CloseDevice(low, high), 1);
  EXPECT_EQ(KvxUpx_Close(), 1);
  ExpectNothingLeft();
  ProcessDriverService().SetImages(EmbeddedDriverImages());
}

}  // namespace
}  // namespace fcp::passthrough
