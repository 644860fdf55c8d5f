// A simulated Windows machine for the pass-through driver's installer: processor and WOW64 facts, a
// file system with owners and writers, named mutexes, a service control manager that loads kernel
// drivers, the registry's service keys, and the KvxUpx driver core on the simulated kernel behind
// the device "\\.\KvxUpx". Several tool processes share one machine; each SimWindowsProcess is the
// ports (os::DriverHost, os::DriverDevice, os::DeviceRegistry) of one of them, with its own handles,
// last error and bitness. A process can die holding handles and mutexes.
//
// Driver files here are small stand-ins (SimDriverImage): a tag, the machine they are built for and a
// version resource's fixed information, which the installer and the driver loader read.
//
// Named mutexes live in namespaces as on Windows: a plain name is the creating process's session's,
// "Global\" names are shared by every session. The service manager keeps what a service was created
// with and grants each handle only the access it asked for.
#pragma once
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "driver/device_extension.h"
#include "os/device_registry.h"
#include "os/driver_host.h"
#include "os/port.h"
#include "passthrough/driver_images.h"
#include "sim/kernel/sim_kernel.h"
#include "sim/windows/registry_view.h"

namespace fcp::sim::windows {

// A driver file for the simulated machine.
std::vector<uint8_t> SimDriverImage(uint16_t machine, os::FileVersion version);

class SimWindowsProcess;

class SimWindows {
 public:
  static constexpr wchar_t kSystemDirectory[] = L"C:\\Windows\\System32";
  static constexpr wchar_t kWow64SystemDirectory[] = L"C:\\Windows\\SysWOW64";
  static constexpr wchar_t kTempPath[] = L"C:\\Users\\Operator\\AppData\\Local\\Temp\\";

  struct Service {
    std::wstring binary_path;
    DWORD type = 0;
    DWORD start = 0;
    DWORD state = os::kServiceStopped;  // kServiceStopped, 3 (stop pending) or kServiceRunning
    bool delete_pending = false;
    std::wstring display_name;
    DWORD error_control = 0xFFFFFFFF;
    DWORD access = 0;  // what the creator's handle was granted
  };

  // Which platform queries this Windows has (older versions lack the newer ones).
  struct PlatformQueries {
    bool is_wow64_process2 = true;
    bool is_wow64_process = true;
    bool fs_redirection = true;
    bool is_wow64_process2_fails = false;
    bool disable_redirection_fails = false;
    bool directories_unknown = false;  // GetSystemDirectoryW fails
  };

  explicit SimWindows(uint16_t native_machine = os::kMachineAmd64);
  ~SimWindows();
  SimWindows(const SimWindows&) = delete;
  SimWindows& operator=(const SimWindows&) = delete;

  uint16_t NativeMachine() const { return native_machine_; }
  PlatformQueries& Queries() { return queries_; }
  // A process of the tool; `is_64bit` false: a 32-bit build (under WOW64 on 64-bit Windows). It runs
  // in `session` (1: the desktop's; 0: the services').
  std::unique_ptr<SimWindowsProcess> StartProcess(bool is_64bit = true, uint32_t session = 1);

  // --- Files (paths without regard to case). New files belong to the administrators.
  void PutFile(const std::wstring& path, std::vector<uint8_t> bytes,
               os::FileSecurity security = {os::Principal::kAdministrators, {os::Principal::kAdministrators}});
  // A link (hard link, symbolic link or junction) under the name: readers see a file that is not plain.
  void PutLink(const std::wstring& path, std::vector<uint8_t> bytes, os::FileSecurity security);
  std::optional<std::vector<uint8_t>> FileBytes(const std::wstring& path) const;
  bool HasFile(const std::wstring& path) const { return FileBytes(path).has_value(); }
  void RemoveFile(const std::wstring& path);
  // Every file path (upper case), for "nothing left behind" checks.
  std::set<std::wstring> Files() const;
  // Writing a file whose path contains this text fails after creating it (empty: never).
  void FailWritesTo(std::wstring fragment) { fail_writes_to_ = std::move(fragment); }
  // Every path some process wrote or deleted (upper case, as the process resolved it).
  std::set<std::wstring> FilesChanged() const;

  // --- Services and registry.
  std::optional<Service> ServiceNamed(const std::wstring& name) const;
  RegistryView& Registry() { return registry_; }  // under the machine's lock: use between steps only
  std::optional<uint32_t> RefCount() const;       // "RefCount" in the KvxUpx service key
  void FailCreateService(bool fail) { fail_create_service_ = fail; }
  void FailStartService(bool fail) { fail_start_service_ = fail; }
  void FailDeviceOpen(bool fail) { fail_device_open_ = fail; }
  // The driver hears the close of a handle of its device only after CloseHandle has returned, at
  // the next pause of any process (as in hosts that deliver it from another thread).
  void DeliverClosesLate(bool late) { closes_late_ = late; }
  int DriverLoads() const { return driver_loads_; }
  // The image the driver was last loaded from.
  std::vector<uint8_t> LoadedImage() const;

  // --- Named mutexes: whether one of the name exists in any namespace (some process holds a handle).
  bool MutexExists(const std::wstring& name) const;
  // Waits without end on a mutex that a hung process holds: a real process would never return from
  // them (here they fail at once).
  int EndlessWaits() const;
  // Service-manager calls and device opens made while the caller had file-system redirection off.
  int CallsWithRedirectionOff() const;

  // --- Everything the machine holds at one moment, taken at once: what a run may leave behind.
  struct NamedMutex {
    int handles = 0;
    uint32_t owner = 0;  // process id; 0: free
    bool abandoned = false;
  };
  struct Holdings {
    std::map<std::wstring, Service> services;      // upper-cased names
    bool driver_service_key = false;                // the KvxUpx key below the services key
    std::set<std::wstring> files;                   // as Files()
    std::map<std::wstring, NamedMutex> mutexes;     // upper-cased names
    bool driver_loaded = false;
    int driver_loads = 0;
    size_t driver_handles = 0;       // handles open on the driver's device, of every process
    int registered_devices = 0;      // USB devices registered with the loaded driver
    std::map<uint32_t, size_t> process_handles;  // process id -> handles it holds (living processes)
  };
  Holdings Holding() const;

  // --- The kernel under the driver. Other views plug USB devices into it and open interface
  // handles with kernel().OpenInterface(device object): such a handle is what KvxUpx_OpenDevice
  // takes. A 32-bit machine's driver reads 32-byte control blocks (and forwards no submissions: the
  // test process's addresses do not fit its 32-bit request blocks).
  kernel::SimKernel& Kernel() { return *kernel_; }
  // Every control block that reached the driver's device: its bytes as the caller sent them.
  std::vector<std::vector<uint8_t>> ControlBlocks() const;
  // Request blocks that reached the driver's device, as the caller built them.
  std::vector<std::vector<uint8_t>> RequestBlocks() const;

 private:
  friend class SimWindowsProcess;
  struct File {
    std::vector<uint8_t> bytes;
    os::FileSecurity security;
    bool link = false;
  };
  struct Mutex {
    int handles = 0;
    uint32_t owner = 0;  // process id; 0: free
    int recursion = 0;
    bool abandoned = false;
  };
  struct DriverHandle {
    uint32_t pid;
    std::unique_ptr<char> file_object;  // the address is the file object the driver sees
  };

  static std::wstring Key(const std::wstring& path);
  void LoadDriver(const std::vector<uint8_t>& image);  // with mutex_ held
  void UnloadDriverIfDone(const std::wstring& name);   // with mutex_ held
  void PublishRefCount();                               // with mutex_ held
  void CloseDriverHandle(std::unique_ptr<char> file_object);  // with mutex_ held
  void DeliverLateCloses();
  void RemoveService(const std::wstring& name);         // with mutex_ held

  uint16_t native_machine_;
  PlatformQueries queries_;
  mutable std::mutex mutex_;
  std::condition_variable mutex_released_;
  std::map<std::wstring, File> files_;
  std::map<std::wstring, Service> services_;  // upper-cased names
  std::map<std::wstring, Mutex> mutexes_;
  RegistryView registry_;
  std::unique_ptr<kernel::SimKernel> kernel_;
  driver::DeviceExtension extension_;
  bool driver_loaded_ = false;
  std::vector<uint8_t> loaded_image_;
  int driver_loads_ = 0;
  std::map<os::SystemHandle, DriverHandle> driver_handles_;
  bool closes_late_ = false;
  std::vector<std::unique_ptr<char>> late_closes_;  // file objects whose close the driver has not heard
  std::vector<std::vector<uint8_t>> control_blocks_;
  std::vector<std::vector<uint8_t>> request_blocks_;
  std::wstring fail_writes_to_;
  std::set<std::wstring> files_changed_;
  std::set<uint32_t> hung_;  // processes that never release what they hold
  int endless_waits_ = 0;
  int calls_with_redirection_off_ = 0;
  bool fail_create_service_ = false, fail_start_service_ = false, fail_device_open_ = false;
  uint32_t next_pid_ = 100;
  std::set<const SimWindowsProcess*> processes_;  // living processes, for Holding()
  os::SystemHandle next_handle_ = 0x1000;
};

class SimWindowsProcess final : public os::DriverHost, public os::DriverDevice, public os::DeviceRegistry {
 public:
  SimWindowsProcess(SimWindows& machine, uint32_t pid, bool is_64bit, uint32_t session = 1);
  ~SimWindowsProcess() override;  // ends the process: Die()
  uint32_t Pid() const { return pid_; }
  bool Is64bit() const { return is_64bit_; }
  bool Wow64() const;
  // The process ends without cleaning up: the system closes its handles (the driver hears the
  // close of its device) and the mutexes it owns are abandoned.
  void Die();
  // The process stops responding, holding all it holds: others' waits for its mutexes time out.
  void Hang();
  size_t OpenHandles() const { return handles_.size(); }
  bool RedirectionIsOff() const { return redirection_off_; }

  // os::DriverHost
  os::LookedUp IsWow64Process2(uint16_t* process_machine, uint16_t* native_machine) override;
  os::LookedUp IsWow64Process(BOOL* wow64) override;
  uint16_t NativeProcessorArchitecture() override;
  os::LookedUp DisableFsRedirection(uintptr_t* cookie) override;
  os::LookedUp RevertFsRedirection(uintptr_t cookie) override;
  std::wstring SystemDirectory() override;
  bool ReadWholeFile(const std::wstring& path, size_t max_size, os::FileContents* contents) override;
  bool WriteNewFile(const std::wstring& path, const uint8_t* bytes, size_t size, bool* created) override;
  bool DeleteFileAt(const std::wstring& path) override;
  os::SystemHandle CreateNamedMutex(const std::wstring& name) override;
  DWORD WaitForObject(os::SystemHandle handle, DWORD timeout_ms) override;
  BOOL ReleaseNamedMutex(os::SystemHandle handle) override;
  BOOL CloseObjectHandle(os::SystemHandle handle) override;
  os::SystemHandle OpenServiceManager(DWORD access) override;
  os::SystemHandle OpenDriverService(os::SystemHandle manager, const std::wstring& name, DWORD access) override;
  os::SystemHandle CreateDriverService(os::SystemHandle manager, const std::wstring& name,
                                       const std::wstring& display_name, DWORD access, DWORD type, DWORD start,
                                       DWORD error_control, const std::wstring& binary_path) override;
  BOOL StartDriverService(os::SystemHandle service) override;
  BOOL ControlDriverService(os::SystemHandle service, DWORD control, DWORD* state) override;
  BOOL QueryDriverServiceStatus(os::SystemHandle service, DWORD* state) override;
  BOOL DeleteDriverService(os::SystemHandle service) override;
  BOOL CloseServiceManagerHandle(os::SystemHandle handle) override;
  void Pause(DWORD) override;
  DWORD LastError() override { return last_error_; }
  void SetLastErrorCode(DWORD error) override { last_error_ = error; }

  // os::DriverDevice
  os::SystemHandle Open(const std::wstring& path) override;
  BOOL IoControl(os::SystemHandle device, DWORD code, void* in, DWORD in_size, void* out, DWORD out_size,
                 DWORD* returned) override;
  BOOL Close(os::SystemHandle device) override;

  // os::DeviceRegistry (the machine's registry)
  LONG OpenKey(os::RegistryRoot root, const wchar_t* sub_key, uint32_t options, uint32_t access,
               os::RegistryKey& key) override;
  LONG QueryValue(os::RegistryKey key, const wchar_t* name, uint32_t* type, uint8_t* data, uint32_t& size) override;
  LONG CloseKey(os::RegistryKey key) override;

 private:
  friend class SimWindows;  // Holding() counts the handles of living processes
  enum class Kind { kMutex, kManager, kService, kDevice };
  struct Handle {
    Kind kind;
    std::wstring name;  // mutex (with its namespace) or service name (upper case)
    DWORD access = 0;   // what a service handle was granted
  };
  BOOL NeedAccess(const Handle& service, DWORD right) {
    return (service.access & right) == right ? 1 : Fail(5);  // ERROR_ACCESS_DENIED
  }
  std::wstring Resolve(const std::wstring& path) const;  // WOW64 file-system redirection
  BOOL Fail(DWORD error) {
    last_error_ = error;
    return 0;
  }
  os::SystemHandle NewHandle(Kind kind, std::wstring name, DWORD access = 0);  // with the machine's lock held
  const Handle* Find(os::SystemHandle handle, Kind kind) const;
  BOOL CloseLocked(os::SystemHandle handle, std::unique_lock<std::mutex>& lock);

  SimWindows& machine_;
  uint32_t pid_;
  bool is_64bit_;
  uint32_t session_;
  bool redirection_off_ = false;
  bool dead_ = false;
  DWORD last_error_ = 0;
  std::map<os::SystemHandle, Handle> handles_;
};

// A process's ports installed as the process-wide ones for a scope (the KvxUpx_* functions use them).
class ScopedProcessPorts {
 public:
  explicit ScopedProcessPorts(SimWindowsProcess& process) : host_(&process), device_(&process), registry_(&process) {}

 private:
  os::ScopedPort<os::DriverHost> host_;
  os::ScopedPort<os::DriverDevice> device_;
  os::ScopedPort<os::DeviceRegistry> registry_;
};

// Driver images for the simulated machines (x86, x64, ARM64 in their slots), all of one version.
class SimDriverImages {
 public:
  explicit SimDriverImages(os::FileVersion version = {{1, 0, 0, 1}});
  const passthrough::DriverImages& Images() const { return images_; }

 private:
  std::vector<uint8_t> x86_, x64_, arm64_;
  passthrough::DriverImages images_;
};

}  // namespace fcp::sim::windows
