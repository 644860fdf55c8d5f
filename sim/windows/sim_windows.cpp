#include "sim/windows/sim_windows.h"

#include <algorithm>
#include <cstring>

#include "driver/kvxupx_driver.h"
#include "driver/kvxupx_ioctl.h"
#include "driver/urb_layout.h"
#include "passthrough/image_version.h"
#include "os/device_setup.h"
#include "text/ascii_case.h"

namespace fcp::sim::windows {
namespace {

namespace kv = fcp::kvxupx;

constexpr DWORD kErrorFileNotFound = 2;
constexpr DWORD kErrorAccessDenied = 5;
constexpr DWORD kErrorInvalidHandle = 6;
constexpr DWORD kErrorWriteFault = 29;
constexpr DWORD kErrorGenFailure = 31;
constexpr DWORD kErrorSharingViolation = 32;
constexpr DWORD kErrorNotSupported = 50;
constexpr DWORD kErrorInvalidFunction = 1;
constexpr DWORD kErrorBadExeFormat = 193;
constexpr DWORD kErrorNotOwner = 288;
constexpr DWORD kErrorServiceAlreadyRunning = 1056;
constexpr DWORD kErrorServiceNotActive = 1062;
constexpr DWORD kErrorServiceMarkedForDelete = 1072;
constexpr DWORD kErrorServiceExists = 1073;
constexpr DWORD kErrorNoSystemResources = 1450;
constexpr DWORD kServiceStopPending = 3;
// Service access rights.
constexpr DWORD kServiceQueryStatus = 0x0004;
constexpr DWORD kServiceStart = 0x0010;
constexpr DWORD kServiceStop = 0x0020;
constexpr DWORD kDeleteAccess = 0x00010000;

constexpr char kImageTag[8] = {'S', 'I', 'M', 'D', 'R', 'V', '0', '2'};
constexpr size_t kMachineOffset = sizeof kImageTag;
constexpr size_t kHeaderSize = kMachineOffset + 2;

constexpr wchar_t kDriverName[] = L"KVXUPX";
constexpr wchar_t kDevicePath[] = L"\\\\.\\KVXUPX";
constexpr wchar_t kServicesKey[] = L"System\\CurrentControlSet\\SERVICES\\";

using text::UpperAscii;

bool StartsWith(const std::wstring& text, const std::wstring& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

// The machine an image is built for; none when it is no driver image.
std::optional<uint16_t> ImageMachine(const std::vector<uint8_t>& bytes) {
  if (bytes.size() < kHeaderSize || std::memcmp(bytes.data(), kImageTag, sizeof kImageTag) != 0) return std::nullopt;
  uint16_t machine;
  std::memcpy(&machine, bytes.data() + kMachineOffset, 2);
  return machine;
}

// "GLOBAL\NAME" for the shared namespace, "SESSION<n>\NAME" for a session's (plain and "Local\").
std::wstring MutexKey(const std::wstring& name, uint32_t session) {
  const std::wstring upper = UpperAscii(name);
  if (StartsWith(upper, L"GLOBAL\\")) return upper;
  const std::wstring local = StartsWith(upper, L"LOCAL\\") ? upper.substr(6) : upper;
  return L"SESSION" + std::to_wstring(session) + L"\\" + local;
}

DWORD ErrorOfStatus(driver::NtStatus status) {
  switch (static_cast<uint32_t>(status)) {
    case 0xC000000D: return os::kErrorInvalidParameter;
    case 0xC0000022: return kErrorAccessDenied;
    case 0xC00000BB: return kErrorNotSupported;
    case 0xC000009A: return kErrorNoSystemResources;
    case 0xC0000005: return 998;  // ERROR_NOACCESS
    case 0xC00000A3: return os::kErrorNotReady;
    default: return kErrorGenFailure;
  }
}

}  // namespace

std::vector<uint8_t> SimDriverImage(uint16_t machine, os::FileVersion version) {
  std::vector<uint8_t> bytes(kHeaderSize);
  std::memcpy(bytes.data(), kImageTag, sizeof kImageTag);
  std::memcpy(bytes.data() + kMachineOffset, &machine, 2);
  const std::vector<uint8_t> resource = passthrough::VersionInfoBlock(version);
  bytes.insert(bytes.end(), resource.begin(), resource.end());
  return bytes;
}

SimDriverImages::SimDriverImages(os::FileVersion version)
    : x86_(SimDriverImage(os::kMachineI386, version)),
      x64_(SimDriverImage(os::kMachineAmd64, version)),
      arm64_(SimDriverImage(os::kMachineArm64, version)) {
  images_.slot[0] = {x86_.data(), x86_.size()};
  images_.slot[1] = {x64_.data(), x64_.size()};
  images_.slot[3] = {arm64_.data(), arm64_.size()};
}

// --- The machine.

SimWindows::SimWindows(uint16_t native_machine)
    : native_machine_(native_machine), kernel_(std::make_unique<kernel::SimKernel>()) {}

SimWindows::~SimWindows() {
  if (driver_loaded_) driver::UnloadDevice(extension_);
}

std::unique_ptr<SimWindowsProcess> SimWindows::StartProcess(bool is_64bit, uint32_t session) {
  std::lock_guard lock(mutex_);
  auto process = std::make_unique<SimWindowsProcess>(*this, next_pid_++, is_64bit, session);
  processes_.insert(process.get());
  return process;
}

std::wstring SimWindows::Key(const std::wstring& path) {
  std::wstring key = UpperAscii(path);
  // Doubled separators name the same file.
  key.erase(std::unique(key.begin(), key.end(), [](wchar_t a, wchar_t b) { return a == L'\\' && b == L'\\'; }),
            key.end());
  return key;
}

void SimWindows::PutFile(const std::wstring& path, std::vector<uint8_t> bytes, os::FileSecurity security) {
  std::lock_guard lock(mutex_);
  files_[Key(path)] = File{std::move(bytes), std::move(security)};
}

std::optional<std::vector<uint8_t>> SimWindows::FileBytes(const std::wstring& path) const {
  std::lock_guard lock(mutex_);
  auto it = files_.find(Key(path));
  if (it == files_.end()) return std::nullopt;
  return it->second.bytes;
}

void SimWindows::PutLink(const std::wstring& path, std::vector<uint8_t> bytes, os::FileSecurity security) {
  std::lock_guard lock(mutex_);
  files_[Key(path)] = File{std::move(bytes), std::move(security), true};
}

std::set<std::wstring> SimWindows::FilesChanged() const {
  std::lock_guard lock(mutex_);
  return files_changed_;
}

int SimWindows::EndlessWaits() const {
  std::lock_guard lock(mutex_);
  return endless_waits_;
}

int SimWindows::CallsWithRedirectionOff() const {
  std::lock_guard lock(mutex_);
  return calls_with_redirection_off_;
}

void SimWindows::RemoveFile(const std::wstring& path) {
  std::lock_guard lock(mutex_);
  files_.erase(Key(path));
}

std::set<std::wstring> SimWindows::Files() const {
  std::lock_guard lock(mutex_);
  std::set<std::wstring> paths;
  for (const auto& [path, file] : files_) paths.insert(path);
  return paths;
}

std::optional<SimWindows::Service> SimWindows::ServiceNamed(const std::wstring& name) const {
  std::lock_guard lock(mutex_);
  auto it = services_.find(UpperAscii(name));
  if (it == services_.end()) return std::nullopt;
  return it->second;
}

std::optional<uint32_t> SimWindows::RefCount() const {
  std::lock_guard lock(mutex_);
  RegistryView& registry = const_cast<RegistryView&>(registry_);
  os::RegistryKey key = 0;
  const std::wstring path = std::wstring(kServicesKey) + kDriverName;
  if (registry.OpenKey(os::RegistryRoot::kLocalMachine, path.c_str(), 0, os::kRegistryKeyRead, key) != ERROR_SUCCESS)
    return std::nullopt;
  uint32_t value = 0, size = sizeof value, type = 0;
  const LONG read = registry.QueryValue(key, L"RefCount", &type, reinterpret_cast<uint8_t*>(&value), size);
  registry.CloseKey(key);
  if (read != ERROR_SUCCESS || type != os::kRegDword) return std::nullopt;
  return value;
}

std::vector<uint8_t> SimWindows::LoadedImage() const {
  std::lock_guard lock(mutex_);
  return loaded_image_;
}

bool SimWindows::MutexExists(const std::wstring& name) const {
  std::lock_guard lock(mutex_);
  const std::wstring upper = UpperAscii(name);
  for (const auto& [key, mutex] : mutexes_) {
    if (key == upper || (key.size() > upper.size() && key.compare(key.size() - upper.size(), upper.size(), upper) == 0 &&
                         key[key.size() - upper.size() - 1] == L'\\'))
      return true;
  }
  return false;
}

std::vector<std::vector<uint8_t>> SimWindows::ControlBlocks() const {
  std::lock_guard lock(mutex_);
  return control_blocks_;
}

std::vector<std::vector<uint8_t>> SimWindows::RequestBlocks() const {
  std::lock_guard lock(mutex_);
  return request_blocks_;
}

void SimWindows::LoadDriver(const std::vector<uint8_t>& image) {
  driver::LoadDevice(extension_, *kernel_);
  driver_loaded_ = true;
  loaded_image_ = image;
  ++driver_loads_;
  PublishRefCount();
}

void SimWindows::CloseDriverHandle(std::unique_ptr<char> file_object) {
  if (driver_loaded_) {
    driver::CloseHandle(extension_, file_object.get());  // cleanup
    driver::CloseHandle(extension_, file_object.get());  // close
    PublishRefCount();
  }
  UnloadDriverIfDone(kDriverName);
}

void SimWindows::DeliverLateCloses() {
  std::lock_guard lock(mutex_);
  std::vector<std::unique_ptr<char>> pending = std::move(late_closes_);
  late_closes_.clear();
  for (auto& file_object : pending) CloseDriverHandle(std::move(file_object));
}

// A stopping driver unloads once the last handle of its device is closed.
void SimWindows::UnloadDriverIfDone(const std::wstring& name) {
  auto it = services_.find(name);
  if (it == services_.end() || it->second.state != kServiceStopPending || !driver_handles_.empty() ||
      !late_closes_.empty())
    return;
  driver::UnloadDevice(extension_);
  driver_loaded_ = false;
  it->second.state = os::kServiceStopped;
  if (it->second.delete_pending) RemoveService(name);
}

void SimWindows::RemoveService(const std::wstring& name) {
  services_.erase(name);
  registry_.DeleteKey(std::wstring(kServicesKey) + name);
}

// The driver writes its count through the kernel; the service key shows it while the service exists.
void SimWindows::PublishRefCount() {
  const auto count = kernel_->RegistryDword(driver::kServiceKey, driver::kRefCountValue);
  if (count && services_.count(kDriverName)) registry_.SetDword(std::wstring(kServicesKey) + kDriverName, L"RefCount", *count);
}

// --- A process.

SimWindowsProcess::SimWindowsProcess(SimWindows& machine, uint32_t pid, bool is_64bit, uint32_t session)
    : machine_(machine), pid_(pid), is_64bit_(is_64bit), session_(session) {}

SimWindowsProcess::~SimWindowsProcess() {
  Die();
  std::lock_guard lock(machine_.mutex_);
  machine_.processes_.erase(this);
}

bool SimWindowsProcess::Wow64() const {
  return !is_64bit_ && (machine_.native_machine_ == os::kMachineAmd64 || machine_.native_machine_ == os::kMachineArm64);
}

void SimWindowsProcess::Hang() {
  std::lock_guard lock(machine_.mutex_);
  machine_.hung_.insert(pid_);
}

void SimWindowsProcess::Die() {
  std::unique_lock lock(machine_.mutex_);
  if (dead_) return;
  dead_ = true;
  machine_.hung_.erase(pid_);
  for (auto& [name, mutex] : machine_.mutexes_) {
    if (mutex.owner != pid_) continue;
    mutex.owner = 0;
    mutex.recursion = 0;
    mutex.abandoned = true;
  }
  machine_.mutex_released_.notify_all();
  while (!handles_.empty()) CloseLocked(handles_.begin()->first, lock);
}

void SimWindowsProcess::Pause(DWORD) {
  machine_.DeliverLateCloses();
  std::this_thread::yield();
}

os::LookedUp SimWindowsProcess::IsWow64Process2(uint16_t* process_machine, uint16_t* native_machine) {
  if (!machine_.queries_.is_wow64_process2) return os::LookedUp::kMissing;
  if (machine_.queries_.is_wow64_process2_fails) return os::LookedUp::kFailed;
  *process_machine = Wow64() ? os::kMachineI386 : os::kMachineUnknown;
  *native_machine = machine_.native_machine_;
  return os::LookedUp::kOk;
}

os::LookedUp SimWindowsProcess::IsWow64Process(BOOL* wow64_flag) {
  if (!machine_.queries_.is_wow64_process) return os::LookedUp::kMissing;
  *wow64_flag = Wow64() ? 1 : 0;
  return os::LookedUp::kOk;
}

uint16_t SimWindowsProcess::NativeProcessorArchitecture() {
  switch (machine_.native_machine_) {
    case os::kMachineI386: return os::kProcessorArchitectureIntel;
    case os::kMachineAmd64: return os::kProcessorArchitectureAmd64;
    case os::kMachineArm64: return os::kProcessorArchitectureArm64;
    default: return 0xFFFF;  // PROCESSOR_ARCHITECTURE_UNKNOWN
  }
}

os::LookedUp SimWindowsProcess::DisableFsRedirection(uintptr_t* cookie) {
  if (!machine_.queries_.fs_redirection) return os::LookedUp::kMissing;
  if (machine_.queries_.disable_redirection_fails || !Wow64()) return os::LookedUp::kFailed;
  *cookie = redirection_off_ ? 1 : 0;
  redirection_off_ = true;
  return os::LookedUp::kOk;
}

os::LookedUp SimWindowsProcess::RevertFsRedirection(uintptr_t cookie) {
  if (!machine_.queries_.fs_redirection) return os::LookedUp::kMissing;
  redirection_off_ = cookie != 0;
  return os::LookedUp::kOk;
}

std::wstring SimWindowsProcess::SystemDirectory() {
  if (machine_.queries_.directories_unknown) return L"";
  // A 32-bit process is told the same system directory; file-system redirection, not the name,
  // takes its file operations to the 32-bit one.
  return SimWindows::kSystemDirectory;
}

std::wstring SimWindowsProcess::Resolve(const std::wstring& path) const {
  std::wstring key = SimWindows::Key(path);
  const std::wstring system = UpperAscii(SimWindows::kSystemDirectory);
  if (Wow64() && !redirection_off_ && StartsWith(key, system + L"\\"))
    key = UpperAscii(SimWindows::kWow64SystemDirectory) + key.substr(system.size());
  return key;
}

bool SimWindowsProcess::ReadWholeFile(const std::wstring& path, size_t max_size, os::FileContents* contents) {
  std::lock_guard lock(machine_.mutex_);
  auto it = machine_.files_.find(Resolve(path));
  if (it == machine_.files_.end()) return Fail(kErrorFileNotFound);
  if (it->second.bytes.size() > max_size) return Fail(223);  // ERROR_FILE_TOO_LARGE
  contents->bytes = it->second.bytes;
  contents->security = it->second.security;
  contents->plain = !it->second.link;
  return true;
}

bool SimWindowsProcess::WriteNewFile(const std::wstring& path, const uint8_t* bytes, size_t size, bool* created) {
  std::lock_guard lock(machine_.mutex_);
  const std::wstring key = Resolve(path);
  machine_.files_changed_.insert(key);
  auto& file = machine_.files_[key];
  file = SimWindows::File{{}, {os::Principal::kAdministrators, {os::Principal::kAdministrators}}};
  *created = true;
  if (!machine_.fail_writes_to_.empty() && key.find(UpperAscii(machine_.fail_writes_to_)) != std::wstring::npos)
    return Fail(kErrorWriteFault);
  file.bytes.assign(bytes, bytes + size);
  return true;
}

bool SimWindowsProcess::DeleteFileAt(const std::wstring& path) {
  std::lock_guard lock(machine_.mutex_);
  const std::wstring key = Resolve(path);
  machine_.files_changed_.insert(key);
  // A loaded driver's file is in use.
  if (machine_.driver_loaded_) {
    for (const auto& [name, service] : machine_.services_) {
      if (service.state != os::kServiceStopped && SimWindows::Key(service.binary_path) == key)
        return Fail(kErrorAccessDenied);
    }
  }
  if (!machine_.files_.erase(key)) return Fail(kErrorFileNotFound);
  return true;
}

os::SystemHandle SimWindowsProcess::NewHandle(Kind kind, std::wstring name, DWORD access) {
  const os::SystemHandle handle = machine_.next_handle_;
  machine_.next_handle_ += 4;
  handles_[handle] = Handle{kind, std::move(name), access};
  return handle;
}

const SimWindowsProcess::Handle* SimWindowsProcess::Find(os::SystemHandle handle, Kind kind) const {
  auto it = handles_.find(handle);
  return it != handles_.end() && it->second.kind == kind ? &it->second : nullptr;
}

os::SystemHandle SimWindowsProcess::CreateNamedMutex(const std::wstring& name) {
  std::lock_guard lock(machine_.mutex_);
  const std::wstring key = MutexKey(name, session_);
  ++machine_.mutexes_[key].handles;
  return NewHandle(Kind::kMutex, key);
}

DWORD SimWindowsProcess::WaitForObject(os::SystemHandle handle, DWORD timeout_ms) {
  std::unique_lock lock(machine_.mutex_);
  const Handle* h = Find(handle, Kind::kMutex);
  if (!h) {
    last_error_ = kErrorInvalidHandle;
    return os::kWaitFailed;
  }
  SimWindows::Mutex& mutex = machine_.mutexes_.at(h->name);
  auto free = [&] { return mutex.owner == 0 || mutex.owner == pid_; };
  if (!free() && machine_.hung_.count(mutex.owner)) {
    // Its owner will never release it: a bounded wait ends (at once here), an endless one never would.
    if (timeout_ms != os::kInfinite) return os::kWaitTimeout;
    ++machine_.endless_waits_;
    last_error_ = kErrorInvalidHandle;
    return os::kWaitFailed;
  }
  if (timeout_ms == os::kInfinite) {
    machine_.mutex_released_.wait(lock, free);
  } else if (!machine_.mutex_released_.wait_for(lock, std::chrono::milliseconds(timeout_ms), free)) {
    return os::kWaitTimeout;
  }
  mutex.owner = pid_;
  ++mutex.recursion;
  if (mutex.abandoned) {
    mutex.abandoned = false;
    return os::kWaitAbandoned;
  }
  return os::kWaitObject0;
}

BOOL SimWindowsProcess::ReleaseNamedMutex(os::SystemHandle handle) {
  std::lock_guard lock(machine_.mutex_);
  const Handle* h = Find(handle, Kind::kMutex);
  if (!h) return Fail(kErrorInvalidHandle);
  SimWindows::Mutex& mutex = machine_.mutexes_.at(h->name);
  if (mutex.owner != pid_) return Fail(kErrorNotOwner);
  if (--mutex.recursion == 0) {
    mutex.owner = 0;
    machine_.mutex_released_.notify_all();
  }
  return 1;
}

BOOL SimWindowsProcess::CloseObjectHandle(os::SystemHandle handle) {
  std::unique_lock lock(machine_.mutex_);
  if (!Find(handle, Kind::kMutex)) return Fail(kErrorInvalidHandle);
  return CloseLocked(handle, lock);
}

BOOL SimWindowsProcess::CloseLocked(os::SystemHandle handle, std::unique_lock<std::mutex>&) {
  auto it = handles_.find(handle);
  if (it == handles_.end()) return Fail(kErrorInvalidHandle);
  const Handle h = it->second;
  handles_.erase(it);
  switch (h.kind) {
    case Kind::kMutex: {
      SimWindows::Mutex& mutex = machine_.mutexes_.at(h.name);
      // The last handle of a mutex its owner still holds: the owner can no longer release it.
      if (--mutex.handles == 0) {
        machine_.mutexes_.erase(h.name);
      }
      break;
    }
    case Kind::kDevice: {
      auto d = machine_.driver_handles_.find(handle);
      if (d != machine_.driver_handles_.end()) {
        std::unique_ptr<char> file_object = std::move(d->second.file_object);
        machine_.driver_handles_.erase(d);
        if (machine_.closes_late_) {
          machine_.late_closes_.push_back(std::move(file_object));
        } else {
          machine_.CloseDriverHandle(std::move(file_object));
        }
      }
      break;
    }
    case Kind::kManager:
    case Kind::kService:
      break;
  }
  return 1;
}

os::SystemHandle SimWindowsProcess::OpenServiceManager(DWORD) {
  std::lock_guard lock(machine_.mutex_);
  // The service manager's client library may need loading: not while redirection is off.
  if (redirection_off_) ++machine_.calls_with_redirection_off_;
  return NewHandle(Kind::kManager, L"");
}

os::SystemHandle SimWindowsProcess::OpenDriverService(os::SystemHandle manager, const std::wstring& name,
                                                      DWORD access) {
  std::lock_guard lock(machine_.mutex_);
  if (!Find(manager, Kind::kManager)) return Fail(kErrorInvalidHandle);
  const std::wstring key = UpperAscii(name);
  auto it = machine_.services_.find(key);
  if (it == machine_.services_.end()) return Fail(os::kErrorServiceDoesNotExist);
  if (it->second.delete_pending) return Fail(kErrorServiceMarkedForDelete);
  return NewHandle(Kind::kService, key, access);
}

os::SystemHandle SimWindowsProcess::CreateDriverService(os::SystemHandle manager, const std::wstring& name,
                                                        const std::wstring& display_name, DWORD access, DWORD type,
                                                        DWORD start, DWORD error_control,
                                                        const std::wstring& binary_path) {
  std::lock_guard lock(machine_.mutex_);
  if (!Find(manager, Kind::kManager)) return Fail(kErrorInvalidHandle);
  if (machine_.fail_create_service_) return Fail(kErrorAccessDenied);
  const std::wstring key = UpperAscii(name);
  if (machine_.services_.count(key)) return Fail(kErrorServiceExists);
  SimWindows::Service created;
  created.binary_path = binary_path;
  created.type = type;
  created.start = start;
  created.display_name = display_name;
  created.error_control = error_control;
  created.access = access;
  machine_.services_[key] = created;
  machine_.registry_.CreateKey(std::wstring(kServicesKey) + key);
  return NewHandle(Kind::kService, key, access);
}

BOOL SimWindowsProcess::StartDriverService(os::SystemHandle service) {
  std::lock_guard lock(machine_.mutex_);
  const Handle* h = Find(service, Kind::kService);
  if (!h) return Fail(kErrorInvalidHandle);
  if (!NeedAccess(*h, kServiceStart)) return 0;
  SimWindows::Service& s = machine_.services_.at(h->name);
  if (s.state != os::kServiceStopped) return Fail(kErrorServiceAlreadyRunning);
  if (machine_.fail_start_service_) return Fail(kErrorGenFailure);
  // The kernel reads the binary path as it is: no redirection.
  auto file = machine_.files_.find(SimWindows::Key(s.binary_path));
  if (file == machine_.files_.end()) return Fail(kErrorFileNotFound);
  const auto machine = ImageMachine(file->second.bytes);
  if (!machine || *machine != machine_.native_machine_) return Fail(kErrorBadExeFormat);
  machine_.LoadDriver(file->second.bytes);
  s.state = os::kServiceRunning;
  return 1;
}

BOOL SimWindowsProcess::ControlDriverService(os::SystemHandle service, DWORD control, DWORD* state) {
  std::lock_guard lock(machine_.mutex_);
  const Handle* h = Find(service, Kind::kService);
  if (!h) return Fail(kErrorInvalidHandle);
  if (!NeedAccess(*h, kServiceStop)) return 0;
  SimWindows::Service& s = machine_.services_.at(h->name);
  *state = s.state;
  if (control != os::kServiceControlStop) return Fail(kErrorInvalidFunction);
  if (s.state != os::kServiceRunning) return Fail(kErrorServiceNotActive);
  s.state = kServiceStopPending;
  machine_.UnloadDriverIfDone(h->name);
  *state = s.state;
  return 1;
}

BOOL SimWindowsProcess::QueryDriverServiceStatus(os::SystemHandle service, DWORD* state) {
  std::lock_guard lock(machine_.mutex_);
  const Handle* h = Find(service, Kind::kService);
  if (!h) return Fail(kErrorInvalidHandle);
  if (!NeedAccess(*h, kServiceQueryStatus)) return 0;
  *state = machine_.services_.at(h->name).state;
  return 1;
}

BOOL SimWindowsProcess::DeleteDriverService(os::SystemHandle service) {
  std::lock_guard lock(machine_.mutex_);
  const Handle* h = Find(service, Kind::kService);
  if (!h) return Fail(kErrorInvalidHandle);
  if (!NeedAccess(*h, kDeleteAccess)) return 0;
  SimWindows::Service& s = machine_.services_.at(h->name);
  if (s.delete_pending) return Fail(kErrorServiceMarkedForDelete);
  if (s.state == os::kServiceStopped) {
    machine_.RemoveService(h->name);
  } else {
    s.delete_pending = true;
  }
  return 1;
}

BOOL SimWindowsProcess::CloseServiceManagerHandle(os::SystemHandle handle) {
  std::unique_lock lock(machine_.mutex_);
  if (!Find(handle, Kind::kManager) && !Find(handle, Kind::kService)) return Fail(kErrorInvalidHandle);
  return CloseLocked(handle, lock);
}

os::SystemHandle SimWindowsProcess::Open(const std::wstring& path) {
  std::lock_guard lock(machine_.mutex_);
  if (redirection_off_) ++machine_.calls_with_redirection_off_;
  if (UpperAscii(path) != kDevicePath || !machine_.driver_loaded_) return Fail(kErrorFileNotFound);
  auto service = machine_.services_.find(kDriverName);
  if (service == machine_.services_.end() || service->second.state != os::kServiceRunning)
    return Fail(kErrorFileNotFound);
  if (machine_.fail_device_open_) return Fail(kErrorAccessDenied);
  auto file_object = std::make_unique<char>();
  if (!driver::IsSuccess(driver::CreateHandle(machine_.extension_, file_object.get()))) return Fail(kErrorGenFailure);
  const os::SystemHandle handle = NewHandle(Kind::kDevice, kDriverName);
  machine_.driver_handles_[handle] = SimWindows::DriverHandle{pid_, std::move(file_object)};
  machine_.PublishRefCount();
  return handle;
}

BOOL SimWindowsProcess::Close(os::SystemHandle device) {
  std::unique_lock lock(machine_.mutex_);
  if (!Find(device, Kind::kDevice)) return Fail(kErrorInvalidHandle);
  return CloseLocked(device, lock);
}

BOOL SimWindowsProcess::IoControl(os::SystemHandle device, DWORD code, void* in, DWORD in_size, void* out,
                                  DWORD out_size, DWORD* returned) {
  std::lock_guard lock(machine_.mutex_);
  *returned = 0;
  if (!Find(device, Kind::kDevice) || !machine_.driver_loaded_) return Fail(kErrorInvalidHandle);
  const auto* in_bytes = static_cast<const uint8_t*>(in);
  machine_.control_blocks_.emplace_back(in_bytes, in_bytes + (in ? in_size : 0));

  // The buffered method: one system buffer, as large as the larger of the two.
  std::vector<uint8_t> buffer(std::max(in_size, out_size));
  if (in) std::memcpy(buffer.data(), in, in_size);
  uint32_t input_length = in_size, output_length = out_size;

  // A 32-bit kernel's driver reads the 32-byte block with its own length checks; the core here is
  // the 64-bit build, so the block is widened for it and the answer narrowed again.
  const bool narrow_kernel = machine_.native_machine_ == os::kMachineI386;
  if (narrow_kernel) {
    const bool fits = code == kv::kIoctlOpenDevice ? in_size == 32 && out_size == 32 : in_size >= 32;
    if (!fits) return Fail(os::kErrorInvalidParameter);
    kv::ControlBlock32 narrow;
    std::memcpy(&narrow, buffer.data(), sizeof narrow);
    kv::ControlRequest request = kv::DecodeControlBlock(narrow);
    if (code == kv::kIoctlSubmitUrb && request.urb_address) return Fail(kErrorNotSupported);
    const auto wide = kv::EncodeControlBlock<kv::ControlBlock64>(request);
    buffer.assign(sizeof wide, 0);
    std::memcpy(buffer.data(), &wide, sizeof wide);
    input_length = sizeof wide;
    output_length = code == kv::kIoctlOpenDevice ? uint32_t(sizeof wide) : 0;
  }

  // A submission names the caller's request block and transfer buffer by address: they are placed
  // in the simulated caller's memory for the driver and copied back afterwards.
  uint8_t* caller_urb = nullptr;
  uint8_t* caller_data = nullptr;
  uint64_t sim_urb = 0, sim_data = 0;
  uint32_t data_length = 0;
  const kv::UrbLayout& urb = kv::kUrbLayout64;
  if (code == kv::kIoctlSubmitUrb && !narrow_kernel && input_length >= sizeof(kv::ControlBlock64)) {
    kv::ControlBlock64 block;
    std::memcpy(&block, buffer.data(), sizeof block);
    caller_urb = reinterpret_cast<uint8_t*>(static_cast<uintptr_t>(block.urb_address));
    if (caller_urb) {
      uint16_t length;
      std::memcpy(&length, caller_urb, 2);
      const size_t copied = std::clamp<size_t>(length, 16, kv::kUrbSize64);
      machine_.request_blocks_.emplace_back(caller_urb, caller_urb + copied);
      sim_urb = machine_.kernel_->MapCaller(copied, kernel::SimKernel::Access::kReadWrite);
      uint8_t* mapped = machine_.kernel_->CallerBytes(sim_urb, copied);
      std::memcpy(mapped, caller_urb, copied);
      uint64_t data_address = 0;
      if (copied == kv::kUrbSize64) {
        std::memcpy(&data_length, mapped + urb.transfer_buffer_length, 4);
        std::memcpy(&data_address, mapped + urb.transfer_buffer, 8);
      }
      if (data_address && data_length) {
        caller_data = reinterpret_cast<uint8_t*>(static_cast<uintptr_t>(data_address));
        sim_data = machine_.kernel_->MapCaller(data_length, kernel::SimKernel::Access::kReadWrite);
        std::memcpy(machine_.kernel_->CallerBytes(sim_data, data_length), caller_data, data_length);
        std::memcpy(mapped + urb.transfer_buffer, &sim_data, 8);
      }
      block.urb_address = sim_urb;
      std::memcpy(buffer.data(), &block, sizeof block);
    }
  }

  uint32_t information = 0;
  void* file_object = machine_.driver_handles_.at(device).file_object.get();
  const driver::NtStatus status = driver::DeviceControl(machine_.extension_, file_object, code, buffer.data(),
                                                        input_length, output_length, &information);
  if (sim_urb) {
    const uint8_t* mapped = machine_.kernel_->CallerBytes(sim_urb, 16);
    uint16_t length;
    std::memcpy(&length, caller_urb, 2);
    const size_t copied = std::clamp<size_t>(length, 16, kv::kUrbSize64);
    std::vector<uint8_t> back(mapped, mapped + copied);
    if (caller_data) {
      const uint64_t caller_address = reinterpret_cast<uintptr_t>(caller_data);
      std::memcpy(back.data() + urb.transfer_buffer, &caller_address, 8);
      std::memcpy(caller_data, machine_.kernel_->CallerBytes(sim_data, data_length), data_length);
    }
    std::memcpy(caller_urb, back.data(), copied);
  }
  if (!driver::IsSuccess(status)) return Fail(ErrorOfStatus(status));
  if (narrow_kernel && code == kv::kIoctlOpenDevice) {
    kv::ControlBlock64 wide;
    std::memcpy(&wide, buffer.data(), sizeof wide);
    const auto narrow = kv::EncodeControlBlock<kv::ControlBlock32>(kv::DecodeControlBlock(wide));
    std::memcpy(buffer.data(), &narrow, sizeof narrow);
    information = sizeof narrow;
  }
  if (out && information) std::memcpy(out, buffer.data(), std::min<uint32_t>(information, out_size));
  *returned = information;
  return 1;
}

LONG SimWindowsProcess::OpenKey(os::RegistryRoot root, const wchar_t* sub_key, uint32_t options, uint32_t access,
                                os::RegistryKey& key) {
  std::lock_guard lock(machine_.mutex_);
  return machine_.registry_.OpenKey(root, sub_key, options, access, key);
}

LONG SimWindowsProcess::QueryValue(os::RegistryKey key, const wchar_t* name, uint32_t* type, uint8_t* data,
                                   uint32_t& size) {
  std::lock_guard lock(machine_.mutex_);
  return machine_.registry_.QueryValue(key, name, type, data, size);
}

LONG SimWindowsProcess::CloseKey(os::RegistryKey key) {
  std::lock_guard lock(machine_.mutex_);
  return machine_.registry_.CloseKey(key);
}

// --- What the machine holds.

SimWindows::Holdings SimWindows::Holding() const {
  std::lock_guard lock(mutex_);
  Holdings h;
  h.services = services_;
  h.driver_service_key = registry_.HasKey(std::wstring(kServicesKey) + kDriverName);
  for (const auto& [path, file] : files_) h.files.insert(path);
  for (const auto& [name, m] : mutexes_) h.mutexes[name] = {m.handles, m.owner, m.abandoned};
  h.driver_loaded = driver_loaded_;
  h.driver_loads = driver_loads_;
  h.driver_handles = driver_handles_.size();
  if (driver_loaded_) {
    for (const auto& device : extension_.registered) h.registered_devices += device != nullptr ? 1 : 0;
  }
  for (const SimWindowsProcess* process : processes_) h.process_handles[process->pid_] = process->handles_.size();
  return h;
}

}  // namespace fcp::sim::windows
