// The pass-through driver's installation and I/O controls for one process: the driver descriptor
// (name, images, open device, WOW64 flag, platform, mutexes) and the protocol by which several
// processes share one demand-start kernel service. Named mutexes guard the span from reading the
// driver's user count ("RefCount" in its service key, kept by the driver) through installing and
// opening, and the span from closing through removing; the last user removes the service and its
// file.
//
// A driver image is only ever read from a place that no one but the administrators and the system
// can change, through one handle, and written straight into the system directory: nothing is staged
// in the temporary directory, which the user controls.
//
// The tool has one instance per process (ProcessDriverService, behind the KvxUpx_* functions);
// tests make one per simulated process, each over that process's ports.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "os/device_registry.h"
#include "os/driver_host.h"
#include "passthrough/driver_images.h"
#include "passthrough/request_blocks.h"

namespace fcp::passthrough {

inline constexpr wchar_t kDriverName[] = L"KvxUpx";
inline constexpr wchar_t kRefCountMutexName[] = L"RefCountMutex_2021_07_08";
// The same mutex in the namespace every session shares, taken before the session's own one.
inline constexpr wchar_t kGlobalRefCountMutexName[] = L"Global\\RefCountMutex_2021_07_08";
// How long init and close wait for the mutexes: any process can create and hold them.
inline constexpr DWORD kMutexWaitMs = 60000;
// No driver image comes near this; a larger file is not read.
inline constexpr size_t kMaxDriverImageSize = 4u << 20;
inline constexpr wchar_t kServiceKeyFormat[] = L"System\\CurrentControlSet\\SERVICES\\";
inline constexpr wchar_t kRefCountValue[] = L"RefCount";
inline constexpr uint32_t kDescriptorTimeoutMs = 5000;
inline constexpr uintptr_t kInvalidInterfaceHandle = ~uintptr_t(0);

// "Older": either version unreadable, or any of the four parts lower than the same part of the other.
bool VersionIsOlder(const os::FileVersion& candidate, const os::FileVersion& reference);

// Files the installer uses, from the platform's directories.
struct DriverPaths {
  std::wstring installed;  // <system>\drivers\<name>.sys
  std::wstring override_file;  // C:\<name>.sys
  std::wstring device;     // \\.\<name>
};
DriverPaths PathsFor(const std::wstring& name, const std::wstring& system_directory);

class DriverService {
 public:
  struct Ports {
    os::DriverHost* host = nullptr;
    os::DriverDevice* device = nullptr;
    os::DeviceRegistry* registry = nullptr;
  };

  // Null ports: the process's installed ports, looked up at every call.
  DriverService(Ports ports, DriverImages images, bool process_is_64bit = sizeof(void*) == 8);
  DriverService(const DriverService&) = delete;
  DriverService& operator=(const DriverService&) = delete;

  int Init();
  int Close();
  int OpenDevice(uint32_t transport_kind, uintptr_t interface_handle, uint32_t* handle_low, uint32_t* handle_high);
  int CloseDevice(uint32_t handle_low, uint32_t handle_high);
  int SubmitUrb(uint32_t handle_low, uint32_t handle_high, void* urb, uint32_t timeout_ms);
  int GetDeviceDescriptor(uint32_t handle_low, uint32_t handle_high, uint8_t* descriptor);

  bool IsOpen() const { return device_handle_ != 0; }
  bool Wow64() const { return wow64_; }
  int PlatformIndex() const { return platform_index_; }
  // The kernel's layouts this process builds its blocks in.
  KernelLayout Layout() const { return LayoutFor(process_is_64bit_ || wide_layout_); }
  void SetImages(const DriverImages& images) { images_ = images; }

 private:
  // What to install: an image in memory, or the installed file as it is.
  struct Source {
    std::vector<uint8_t> image;
    bool keep_installed = false;
  };
  struct Installation {
    bool ok = false;
    bool created = false;  // this call created the service
    bool started = false;  // this call started it
  };

  os::DriverHost* Host() const;
  os::DriverDevice* Device() const;
  os::DeviceRegistry* Registry() const;

  int InitWithMutex();
  bool ChooseSource(const DriverPaths& paths, Source* source);
  // The file's bytes when only the administrators and the system could have written them.
  std::optional<std::vector<uint8_t>> ReadTrustedFile(const std::wstring& path);
  bool WriteInstalledFile(const DriverPaths& paths, const std::vector<uint8_t>& image);
  bool DeleteInstalledFile(const DriverPaths& paths);
  std::optional<uint32_t> ReadRefCount();
  Installation InstallAndStart(const DriverPaths& paths, const Source& source, uint32_t ref_count);
  // Stops and deletes the service; true when it is gone (or was never there).
  bool StopAndDelete();
  // Stops the service (and deletes it); true when it is stopped (and gone), or was never there.
  bool StopService(bool and_delete = false);
  void Undo(const Installation& installation, const DriverPaths& paths);
  bool CreateMutexes();
  bool LockMutexes();
  void ReleaseMutexes();
  void DropMutexes();
  BOOL SendControl(uint32_t code, ControlBlock& block, bool with_output);

  Ports ports_;
  DriverImages images_;
  bool process_is_64bit_;
  std::wstring name_ = kDriverName;
  os::SystemHandle device_handle_ = 0;
  bool wow64_ = false;
  bool wide_layout_ = false;
  int platform_index_ = 0;
  os::SystemHandle global_mutex_ = 0;
  os::SystemHandle mutex_ = 0;  // the session's, which older tools take alone
};

// The process's own driver state, behind the KvxUpx_* functions.
DriverService& ProcessDriverService();

}  // namespace fcp::passthrough
