#include "passthrough/driver_service.h"

#include <cstring>

#include "os/port.h"
#include "passthrough/image_version.h"
#include "passthrough/platform_selection.h"

namespace fcp::passthrough {
namespace {

// File-system redirection off for the life of the object, when the process runs under WOW64 (the
// system directory would otherwise be the 32-bit one). Only file steps run inside one: the system
// loads no libraries for a process while its redirection is off, and the service manager's and
// other calls may need to. Ok() is false when it could not be turned off.
class RedirectionOff {
 public:
  RedirectionOff(os::DriverHost& host, bool wow64) : host_(host), needed_(wow64) {
    if (needed_) active_ = host_.DisableFsRedirection(&cookie_) == os::LookedUp::kOk;
  }
  ~RedirectionOff() {
    if (active_) host_.RevertFsRedirection(cookie_);
  }
  RedirectionOff(const RedirectionOff&) = delete;
  RedirectionOff& operator=(const RedirectionOff&) = delete;
  bool Ok() const { return !needed_ || active_; }

 private:
  os::DriverHost& host_;
  bool needed_;
  bool active_ = false;
  uintptr_t cookie_ = 0;
};

std::wstring WithoutTrailingSeparator(std::wstring path) {
  while (!path.empty() && (path.back() == L'\\' || path.back() == L'/')) path.pop_back();
  return path;
}

constexpr int kCloseSettleTries = 40;
constexpr DWORD kCloseSettlePauseMs = 50;

bool TrustedOwner(os::Principal p) { return p == os::Principal::kSystem || p == os::Principal::kAdministrators; }
bool TrustedWriter(os::Principal p) { return TrustedOwner(p) || p == os::Principal::kTrustedInstaller; }

// Owned by the administrators or the system, and nobody else may write it, change its access list
// or take it over.
bool OnlyAdministratorsCouldWrite(const os::FileSecurity& security) {
  if (!TrustedOwner(security.owner)) return false;
  for (os::Principal writer : security.writers) {
    if (!TrustedWriter(writer)) return false;
  }
  return true;
}

// "Older": either version unreadable, or any part lower.
bool ImageIsOlder(const std::vector<uint8_t>& candidate, const std::vector<uint8_t>& reference) {
  const std::optional<os::FileVersion> a = ImageFileVersion(candidate), b = ImageFileVersion(reference);
  return !a || !b || VersionIsOlder(*a, *b);
}

}  // namespace

bool VersionIsOlder(const os::FileVersion& candidate, const os::FileVersion& reference) {
  for (int i = 0; i < 4; ++i) {
    if (candidate.part[i] < reference.part[i]) return true;
  }
  return false;
}

DriverPaths PathsFor(const std::wstring& name, const std::wstring& system_directory) {
  DriverPaths paths;
  paths.installed = WithoutTrailingSeparator(system_directory) + L"\\drivers\\" + name + L".sys";
  paths.override_file = L"C:\\" + name + L".sys";
  paths.device = L"\\\\.\\" + name;
  return paths;
}

DriverService::DriverService(Ports ports, DriverImages images, bool process_is_64bit)
    : ports_(ports), images_(images), process_is_64bit_(process_is_64bit) {}

os::DriverHost* DriverService::Host() const { return ports_.host ? ports_.host : os::InstalledPort<os::DriverHost>(); }
os::DriverDevice* DriverService::Device() const {
  return ports_.device ? ports_.device : os::InstalledPort<os::DriverDevice>();
}
os::DeviceRegistry* DriverService::Registry() const {
  return ports_.registry ? ports_.registry : os::InstalledPort<os::DeviceRegistry>();
}

int DriverService::Init() {
  if (device_handle_) return 1;
  os::DriverHost* h = Host();
  if (!h || !Device()) return 0;
  CreateMutexes();
  const PlatformSelection selection = SelectPlatform(*h, platform_index_);
  wow64_ = selection.wow64;
  platform_index_ = selection.index;
  const int ok = platform_index_ != kPlatformUnsupported ? InitWithMutex() : 0;
  if (!ok) DropMutexes();  // a failed init holds nothing
  wide_layout_ = wow64_;
  return ok;
}

// Two mutexes of one name: the one in the namespace all sessions share serialises tools across
// sessions (a service's session and the desktop, remote sessions); the session's own one keeps the
// interlock with older tools, which take only that. Always in this order, so a tool that takes only
// the second can never be waiting for the first while holding the second.
bool DriverService::CreateMutexes() {
  os::DriverHost& h = *Host();
  if (!global_mutex_) global_mutex_ = h.CreateNamedMutex(kGlobalRefCountMutexName);
  if (!mutex_) mutex_ = h.CreateNamedMutex(kRefCountMutexName);
  return global_mutex_ && mutex_;
}

void DriverService::DropMutexes() {
  if (global_mutex_) Host()->CloseObjectHandle(global_mutex_);
  if (mutex_) Host()->CloseObjectHandle(mutex_);
  global_mutex_ = 0;
  mutex_ = 0;
}

bool DriverService::LockMutexes() {
  // Any process may create and hold these: the wait is bounded, so a run always comes to a verdict.
  // An abandoned mutex is ours now: its last owner died, and what it guards stays sound without it
  // (the driver keeps "RefCount" itself, the service manager keeps the service).
  os::DriverHost& h = *Host();
  auto lock = [&](os::SystemHandle mutex) {
    const DWORD waited = mutex ? h.WaitForObject(mutex, kMutexWaitMs) : os::kWaitFailed;
    return waited == os::kWaitObject0 || waited == os::kWaitAbandoned;
  };
  if (!lock(global_mutex_)) return false;
  if (lock(mutex_)) return true;
  h.ReleaseNamedMutex(global_mutex_);
  return false;
}

void DriverService::ReleaseMutexes() {
  Host()->ReleaseNamedMutex(mutex_);
  Host()->ReleaseNamedMutex(global_mutex_);
}

int DriverService::InitWithMutex() {
  os::DriverHost& h = *Host();
  const std::wstring system_directory = h.SystemDirectory();
  // Without it the name would fall back to the drive's root, where any user may put a file.
  if (system_directory.empty()) return 0;
  const DriverPaths paths = PathsFor(name_, system_directory);
  // Without the mutex the protocol cannot run: another process could stop the driver under us. The
  // file choice runs under it too, so the installed file it looks at is the one that gets started.
  if (!LockMutexes()) return 0;
  Source source;
  if (!ChooseSource(paths, &source)) {
    ReleaseMutexes();
    return 0;
  }
  const uint32_t ref_count = ReadRefCount().value_or(0);
  Installation installation;
  installation.ok = true;
  if (const os::SystemHandle manager = h.OpenServiceManager(os::kScManagerAllAccess)) {
    h.CloseServiceManagerHandle(manager);
    installation = InstallAndStart(paths, source, ref_count);
  }
  if (installation.ok) device_handle_ = Device()->Open(paths.device);
  // A driver this call brought in but cannot use goes again, so no later run finds it half done.
  if (!device_handle_) Undo(installation, paths);
  ReleaseMutexes();
  return device_handle_ ? 1 : 0;
}

// The image comes from the local override when only the administrators could have put it there,
// else from this executable. A copy in the temporary directory is neither read nor written: every
// user may plant files there, and a link there would take a write made with our rights elsewhere.
// The installed file stays when it is trustworthy and not older than the embedded image.
bool DriverService::ChooseSource(const DriverPaths& paths, Source* source) {
  RedirectionOff redirection(*Host(), wow64_);
  if (!redirection.Ok()) return false;
  if (std::optional<std::vector<uint8_t>> local = ReadTrustedFile(paths.override_file)) {
    source->image = std::move(*local);
    return true;
  }
  const DriverImage image = images_.slot[platform_index_];
  if (!image.data || image.size == 0) return false;
  source->image.assign(image.data, image.data + image.size);
  const std::optional<std::vector<uint8_t>> installed = ReadTrustedFile(paths.installed);
  source->keep_installed = installed && !ImageIsOlder(*installed, source->image);
  return true;
}

std::optional<std::vector<uint8_t>> DriverService::ReadTrustedFile(const std::wstring& path) {
  os::FileContents file;
  if (!Host()->ReadWholeFile(path, kMaxDriverImageSize, &file)) return std::nullopt;
  if (!file.plain || file.bytes.empty() || !OnlyAdministratorsCouldWrite(file.security)) return std::nullopt;
  return std::move(file.bytes);
}

// A file left half written would be started by the next run: it goes again.
bool DriverService::WriteInstalledFile(const DriverPaths& paths, const std::vector<uint8_t>& image) {
  RedirectionOff redirection(*Host(), wow64_);
  if (!redirection.Ok()) return false;
  bool created = false;
  if (Host()->WriteNewFile(paths.installed, image.data(), image.size(), &created)) return true;
  if (created) Host()->DeleteFileAt(paths.installed);
  return false;
}

bool DriverService::DeleteInstalledFile(const DriverPaths& paths) {
  RedirectionOff redirection(*Host(), wow64_);
  return redirection.Ok() && Host()->DeleteFileAt(paths.installed);
}

std::optional<uint32_t> DriverService::ReadRefCount() {
  os::DeviceRegistry* reg = Registry();
  if (!reg) return std::nullopt;
  const std::wstring key_path = std::wstring(kServiceKeyFormat) + name_;
  os::RegistryKey key = 0;
  if (reg->OpenKey(os::RegistryRoot::kLocalMachine, key_path.c_str(), 0, os::kRegistryKeyRead, key) != ERROR_SUCCESS)
    return std::nullopt;
  uint32_t type = 0, value = 0, size = sizeof value;
  const LONG read = reg->QueryValue(key, kRefCountValue, &type, reinterpret_cast<uint8_t*>(&value), size);
  reg->CloseKey(key);
  // Only a DWORD is a count; anything else in the key reads as no count.
  if (read != ERROR_SUCCESS || type != os::kRegDword || size != sizeof value) return std::nullopt;
  return value;
}

DriverService::Installation DriverService::InstallAndStart(const DriverPaths& paths, const Source& source,
                                                           uint32_t ref_count) {
  os::DriverHost& h = *Host();
  Installation result;
  const os::SystemHandle manager = h.OpenServiceManager(os::kScManagerAllAccess);
  if (!manager) return result;
  os::SystemHandle service = h.OpenDriverService(manager, name_, os::kServiceAllAccess);
  const bool exists = service || h.LastError() != os::kErrorServiceDoesNotExist;
  bool running = exists;
  DWORD state = 0;
  if (service && h.QueryDriverServiceStatus(service, &state) && state == os::kServiceStopped) running = false;
  if (service && running && ref_count == 0) {
    h.ControlDriverService(service, os::kServiceControlStop, &state);
    if (h.QueryDriverServiceStatus(service, &state) && state == os::kServiceStopped) running = false;
  }
  // A running driver's file stays as it is; a file that cannot be written fails the run, so no
  // service is started from what was there before.
  const bool written = !running && !source.keep_installed;
  bool ok = !written || WriteInstalledFile(paths, source.image);
  if (ok && !exists) {
    service = h.CreateDriverService(manager, name_, name_, os::kServiceCreateAccess, os::kServiceKernelDriver,
                                    os::kServiceDemandStart, os::kServiceErrorIgnore, paths.installed);
    result.created = service != 0;
    ok = result.created;
    if (!ok && written) DeleteInstalledFile(paths);  // no service will ever load it
  }
  if (ok && service && !running) {
    ok = h.StartDriverService(service) != 0;
    result.started = ok;
  }
  if (service) h.CloseServiceManagerHandle(service);
  h.CloseServiceManagerHandle(manager);
  result.ok = ok;
  return result;
}

void DriverService::Undo(const Installation& installation, const DriverPaths& paths) {
  // Only what this run created, started or wrote, and only while no one else has the driver open.
  // A service that was there before is only stopped again, with its file.
  if (!installation.created && !installation.started) return;
  if (ReadRefCount().value_or(0) != 0) return;
  if (!installation.created) {
    StopService();
    return;
  }
  if (StopAndDelete()) DeleteInstalledFile(paths);
}

bool DriverService::StopAndDelete() { return StopService(true); }

bool DriverService::StopService(bool and_delete) {
  os::DriverHost& h = *Host();
  const os::SystemHandle manager = h.OpenServiceManager(os::kScManagerAllAccess);
  if (!manager) return false;
  bool done = false;
  const os::SystemHandle service = h.OpenDriverService(manager, name_, os::kServiceAllAccess);
  if (!service) {
    done = h.LastError() == os::kErrorServiceDoesNotExist;
  } else {
    // A service that never started refuses the stop control; stopped is stopped either way.
    DWORD state = 0;
    if (!h.ControlDriverService(service, os::kServiceControlStop, &state) || state != os::kServiceStopped) {
      if (!h.QueryDriverServiceStatus(service, &state)) state = 0;
    }
    done = state == os::kServiceStopped && (!and_delete || h.DeleteDriverService(service) != 0);
    h.CloseServiceManagerHandle(service);
  }
  h.CloseServiceManagerHandle(manager);
  return done;
}

int DriverService::Close() {
  os::DriverHost* h = Host();
  if (device_handle_ && h) {
    const bool locked = CreateMutexes() && LockMutexes();
    const std::optional<uint32_t> with_us = locked ? ReadRefCount() : std::nullopt;
    Device()->Close(device_handle_);
    device_handle_ = 0;
    // Without the mutex another process may be installing: leave the service to the last user.
    if (locked) {
      std::optional<uint32_t> users = ReadRefCount();
      // Some hosts hand the close to the driver only after the handle is gone: give the count a
      // moment to drop below what it was with our handle open. Windows has it down at once.
      for (int i = 0; i < kCloseSettleTries && users && with_us && *users > 0 && *users >= *with_us; ++i) {
        h->Pause(kCloseSettlePauseMs);
        users = ReadRefCount();
      }
      if (users && *users == 0) {
        const std::wstring system_directory = h->SystemDirectory();
        // The file of a service that could not be removed stays, so the service can still start.
        if (!system_directory.empty() && StopAndDelete()) DeleteInstalledFile(PathsFor(name_, system_directory));
      }
      ReleaseMutexes();
    }
  }
  if (h) DropMutexes();
  return 1;
}

BOOL DriverService::SendControl(uint32_t code, ControlBlock& block, bool with_output) {
  DWORD returned = 0;
  return Device()->IoControl(device_handle_, code, block.bytes.data(), block.size,
                             with_output ? block.bytes.data() : nullptr, with_output ? block.size : 0, &returned);
}

int DriverService::OpenDevice(uint32_t transport_kind, uintptr_t interface_handle, uint32_t* handle_low,
                              uint32_t* handle_high) {
  *handle_low = 0;
  *handle_high = 0;
  os::DriverHost* h = Host();
  if (interface_handle == kInvalidInterfaceHandle) {
    if (h) h->SetLastErrorCode(os::kErrorInvalidParameter);
    return 0;
  }
  if (!device_handle_) {
    if (h) h->SetLastErrorCode(os::kErrorPathNotFound);
    return 0;
  }
  kvxupx::ControlRequest request;
  request.interface_handle = interface_handle;
  request.transport_kind = transport_kind;
  const KernelLayout kernel = Layout();
  ControlBlock block = BuildControlBlock(kernel, request);
  if (!SendControl(kvxupx::kIoctlOpenDevice, block, true)) return 0;
  const kvxupx::ControlRequest answer = ReadControlBlock(kernel, block);
  *handle_low = static_cast<uint32_t>(answer.device_handle);
  *handle_high = static_cast<uint32_t>(answer.device_handle >> 32);
  return 1;
}

int DriverService::CloseDevice(uint32_t handle_low, uint32_t handle_high) {
  if (!device_handle_) return 0;
  kvxupx::ControlRequest request;
  request.device_handle = uint64_t(handle_high) << 32 | handle_low;
  ControlBlock block = BuildControlBlock(Layout(), request);
  return SendControl(kvxupx::kIoctlCloseDevice, block, false) ? 1 : 0;
}

int DriverService::SubmitUrb(uint32_t handle_low, uint32_t handle_high, void* urb, uint32_t timeout_ms) {
  if (!device_handle_) return 0;
  kvxupx::ControlRequest request;
  request.device_handle = uint64_t(handle_high) << 32 | handle_low;
  request.urb_address = reinterpret_cast<uintptr_t>(urb);
  request.timeout_ms = timeout_ms;
  ControlBlock block = BuildControlBlock(Layout(), request);
  return SendControl(kvxupx::kIoctlSubmitUrb, block, false) ? 1 : 0;
}

int DriverService::GetDeviceDescriptor(uint32_t handle_low, uint32_t handle_high, uint8_t* descriptor) {
  const KernelLayout kernel = Layout();
  RequestBlock urb = BuildDeviceDescriptorRequest(kernel, reinterpret_cast<uintptr_t>(descriptor));
  if (!SubmitUrb(handle_low, handle_high, urb.bytes.data(), kDescriptorTimeoutMs)) return 0;
  return RequestStatus(urb) == kvxupx::kUsbdStatusSuccess &&
                 RequestTransferLength(kernel, urb) == kDeviceDescriptorLength
             ? 1
             : 0;
}

DriverService& ProcessDriverService() {
  static DriverService service({}, EmbeddedDriverImages());
  return service;
}

}  // namespace fcp::passthrough

int KvxUpx_Init() { return fcp::passthrough::ProcessDriverService().Init(); }
int KvxUpx_Close() { return fcp::passthrough::ProcessDriverService().Close(); }
int KvxUpx_OpenDevice(uint32_t transport_kind, uintptr_t interface_handle, uint32_t* handle_low,
                      uint32_t* handle_high) {
  return fcp::passthrough::ProcessDriverService().OpenDevice(transport_kind, interface_handle, handle_low, handle_high);
}
int KvxUpx_CloseDevice(uint32_t handle_low, uint32_t handle_high) {
  return fcp::passthrough::ProcessDriverService().CloseDevice(handle_low, handle_high);
}
int KvxUpx_SubmitUrb(uint32_t handle_low, uint32_t handle_high, void* urb, uint32_t timeout_ms) {
  return fcp::passthrough::ProcessDriverService().SubmitUrb(handle_low, handle_high, urb, timeout_ms);
}
int KvxUpx_GetDeviceDescriptor(uint32_t handle_low, uint32_t handle_high, uint8_t* descriptor) {
  return fcp::passthrough::ProcessDriverService().GetDeviceDescriptor(handle_low, handle_high, descriptor);
}
