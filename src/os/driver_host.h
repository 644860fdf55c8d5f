// Port: what the pass-through driver's installer needs from Windows: the processor and WOW64 facts
// (some functions looked up at run time), file-system redirection, files and their security, the named mutex, the service control manager, and the thread's last error.
//
// Shaped after the Win32 calls (named so that no Win32 macro renames them); results keep the platform's codes (BOOL, wait results, service
// states, Win32 error codes). Handles are opaque pointer-sized values, 0 for none.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "os/win_types.h"

namespace fcp::os {

using SystemHandle = uintptr_t;

// Image file machine types and processor architectures (GetNativeSystemInfo).
inline constexpr uint16_t kMachineUnknown = 0x0000;
inline constexpr uint16_t kMachineI386 = 0x014C;
inline constexpr uint16_t kMachineAmd64 = 0x8664;
inline constexpr uint16_t kMachineArm64 = 0xAA64;
inline constexpr uint16_t kProcessorArchitectureIntel = 0;
inline constexpr uint16_t kProcessorArchitectureAmd64 = 9;
inline constexpr uint16_t kProcessorArchitectureArm64 = 12;

// Wait results.
inline constexpr DWORD kWaitObject0 = 0x00000000;
inline constexpr DWORD kWaitAbandoned = 0x00000080;
inline constexpr DWORD kWaitTimeout = 0x00000102;
inline constexpr DWORD kWaitFailed = 0xFFFFFFFF;
inline constexpr DWORD kInfinite = 0xFFFFFFFF;

// Service states (SERVICE_STATUS.dwCurrentState) and the values the installer passes.
inline constexpr DWORD kServiceStopped = 1;
inline constexpr DWORD kServiceRunning = 4;
inline constexpr DWORD kScManagerAllAccess = 0xF003F;
inline constexpr DWORD kServiceAllAccess = 0xF01FF;
inline constexpr DWORD kServiceKernelDriver = 1;
inline constexpr DWORD kServiceDemandStart = 3;
inline constexpr DWORD kServiceErrorIgnore = 0;
inline constexpr DWORD kServiceControlStop = 1;
// DELETE | SERVICE_START | SERVICE_STOP.
inline constexpr DWORD kServiceCreateAccess = 0x00010030;

// Win32 error codes the installer and the I/O controls look at.
inline constexpr DWORD kErrorPathNotFound = 3;
inline constexpr DWORD kErrorInvalidParameter = 87;
inline constexpr DWORD kErrorServiceDoesNotExist = 1060;

// Four-part version of a file's fixed version information (major, minor, build, revision).
struct FileVersion {
  uint16_t part[4] = {0, 0, 0, 0};
  bool operator==(const FileVersion&) const = default;
};

// Well-known principals, as far as the installer tells them apart.
enum class Principal { kSystem, kAdministrators, kTrustedInstaller, kOther };

// Owner of a file and everyone its access list lets write, change its access list or take it over.
struct FileSecurity {
  Principal owner = Principal::kOther;
  std::vector<Principal> writers;
};

// A file as read through one handle: its bytes and security, and whether it is a plain file (not a
// reparse point, one name only): a link would let whoever made it choose what the name shows.
struct FileContents {
  std::vector<uint8_t> bytes;
  FileSecurity security;
  bool plain = false;
};

// A function looked up at run time: missing, called and failed, or called and succeeded.
enum class LookedUp { kMissing, kFailed, kOk };

class DriverHost {
 public:
  virtual ~DriverHost() = default;

  // --- Platform facts. IsWow64Process2 and IsWow64Process on the current process, looked up in
  // "kernel32" at run time; GetNativeSystemInfo's processor architecture.
  virtual LookedUp IsWow64Process2(uint16_t* process_machine, uint16_t* native_machine) = 0;
  virtual LookedUp IsWow64Process(BOOL* wow64) = 0;
  virtual uint16_t NativeProcessorArchitecture() = 0;
  // Wow64DisableWow64FsRedirection / Wow64RevertWow64FsRedirection, looked up in "kernel32.dll"
  // loaded for the call and freed again. `cookie` carries the old state from one to the other.
  virtual LookedUp DisableFsRedirection(uintptr_t* cookie) = 0;
  virtual LookedUp RevertFsRedirection(uintptr_t cookie) = 0;

  // --- Files. Paths are the platform's (drive letters, backslashes).
  virtual std::wstring SystemDirectory() = 0;  // GetSystemDirectoryW; empty on failure
  // One file read whole through one handle: CreateFileW(read and read-control, share read, open
  // existing, not following a reparse point), its owner and access list from that handle
  // (GetSecurityInfo), its bytes (ReadFile). False when it does not open, is larger than `max_size`, or
  // cannot be read whole.
  virtual bool ReadWholeFile(const std::wstring& path, size_t max_size, FileContents* contents) = 0;
  // CreateFileW(write, no sharing, create always) and WriteFile of all bytes, through that one handle.
  // `created` tells whether the file came to exist, also when writing then failed.
  virtual bool WriteNewFile(const std::wstring& path, const uint8_t* bytes, size_t size, bool* created) = 0;
  virtual bool DeleteFileAt(const std::wstring& path) = 0;

  // --- Named mutex.
  virtual SystemHandle CreateNamedMutex(const std::wstring& name) = 0;  // not owned; 0 on failure
  virtual DWORD WaitForObject(SystemHandle handle, DWORD timeout_ms) = 0;
  virtual BOOL ReleaseNamedMutex(SystemHandle handle) = 0;
  virtual BOOL CloseObjectHandle(SystemHandle handle) = 0;

  // --- Service control manager.
  virtual SystemHandle OpenServiceManager(DWORD access) = 0;
  virtual SystemHandle OpenDriverService(SystemHandle manager, const std::wstring& name, DWORD access) = 0;
  virtual SystemHandle CreateDriverService(SystemHandle manager, const std::wstring& name, const std::wstring& display_name,
                                     DWORD access, DWORD type, DWORD start, DWORD error_control,
                                     const std::wstring& binary_path) = 0;
  virtual BOOL StartDriverService(SystemHandle service) = 0;
  // ControlService; *state is the status it reports.
  virtual BOOL ControlDriverService(SystemHandle service, DWORD control, DWORD* state) = 0;
  virtual BOOL QueryDriverServiceStatus(SystemHandle service, DWORD* state) = 0;
  virtual BOOL DeleteDriverService(SystemHandle service) = 0;
  virtual BOOL CloseServiceManagerHandle(SystemHandle handle) = 0;

  // --- The calling thread: a pause, and its last error.
  virtual void Pause(DWORD ms) = 0;  // Sleep
  virtual DWORD LastError() = 0;
  virtual void SetLastErrorCode(DWORD error) = 0;
};

// Port: the pass-through driver's device, opened by its path, and its I/O controls.
class DriverDevice {
 public:
  virtual ~DriverDevice() = default;
  // CreateFileW(read and write, no sharing, open existing, overlapped); 0 on failure (last error set).
  virtual SystemHandle Open(const std::wstring& path) = 0;
  // DeviceIoControl without an OVERLAPPED structure; the returned byte count is the platform's.
  virtual BOOL IoControl(SystemHandle device, DWORD code, void* in, DWORD in_size, void* out, DWORD out_size,
                         DWORD* returned) = 0;
  virtual BOOL Close(SystemHandle device) = 0;
};

}  // namespace fcp::os
