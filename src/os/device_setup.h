// Ports: the platform's device-installation interfaces as the camera layer of the pass-through route
// uses them (SetupDi* and the configuration manager's CM_* subset), opening a device interface by its
// path, and the camera layer's start-up facts (system version, named mutex, Winsock, sleeping).
//
// Shaped after the Win32 calls (named so that no Win32 macro renames them); results keep the
// platform's codes: BOOL, CONFIGRET, Win32 error codes through LastError. A device node is a DEVINST,
// a device information set an opaque value (kInvalidDeviceInfoSet when it could not be built).
#pragma once
#include <cstdint>

#include "os/win_types.h"
#include "text/guid.h"

namespace fcp::os {

using DevInst = uint32_t;
using DeviceInfoSet = uintptr_t;
using InterfaceHandle = uintptr_t;  // a file handle of an opened device interface
using ConfigRet = uint32_t;         // CONFIGRET

inline constexpr DeviceInfoSet kInvalidDeviceInfoSet = ~DeviceInfoSet{0};
inline constexpr InterfaceHandle kInvalidInterfaceHandle = ~InterfaceHandle{0};

// SetupDiGetClassDevsW flags.
inline constexpr DWORD kDigcfPresent = 0x02;
inline constexpr DWORD kDigcfAllClasses = 0x04;
inline constexpr DWORD kDigcfDeviceInterface = 0x10;

// SetupDiGetDeviceRegistryPropertyW properties.
inline constexpr DWORD kSpdrpDeviceDesc = 0x00;
inline constexpr DWORD kSpdrpClass = 0x07;
inline constexpr DWORD kSpdrpFriendlyName = 0x0C;
inline constexpr DWORD kSpdrpAddress = 0x1C;
inline constexpr DWORD kSpdrpLocationPaths = 0x23;

// Configuration manager results and device node status bits.
inline constexpr ConfigRet kCrSuccess = 0x00;
inline constexpr ConfigRet kCrNoSuchDevnode = 0x0D;
inline constexpr ConfigRet kCrBufferSmall = 0x1A;
inline constexpr ConfigRet kCrInvalidDeviceId = 0x1E;
inline constexpr uint32_t kDnHasProblem = 0x00000400;

// Win32 error codes the camera layer looks at.
inline constexpr DWORD kErrorInvalidData = 13;
inline constexpr DWORD kErrorNotReady = 21;
inline constexpr DWORD kErrorInsufficientBuffer = 122;
inline constexpr DWORD kErrorNoMoreItems = 259;
inline constexpr DWORD kErrorNotAllAssigned = 1300;

// CreateFileW arguments for a device interface.
inline constexpr DWORD kGenericRead = 0x80000000;
inline constexpr DWORD kGenericWrite = 0x40000000;
inline constexpr DWORD kOpenExisting = 3;
inline constexpr DWORD kFileAttributeNormal = 0x80;

// SP_DEVINFO_DATA without its size field.
struct DeviceInfoData {
  text::Guid class_guid;
  DevInst dev_inst = 0;
  uintptr_t reserved = 0;
};

// SP_DEVICE_INTERFACE_DATA without its size field.
struct DeviceInterfaceData {
  text::Guid interface_class;
  DWORD flags = 0;
  uintptr_t reserved = 0;
};

class DeviceSetup {
 public:
  virtual ~DeviceSetup() = default;

  // --- SetupAPI.
  // SetupDiGetClassDevsW(class or null, enumerator or null, no window, flags).
  virtual DeviceInfoSet GetClassDevs(const text::Guid* class_guid, const wchar_t* enumerator, DWORD flags) = 0;
  virtual BOOL EnumDeviceInfo(DeviceInfoSet set, DWORD index, DeviceInfoData* data) = 0;
  // SetupDiGetDeviceRegistryPropertyW; `type` and `required` may be null, `buffer` null with size 0.
  virtual BOOL GetDeviceRegistryProperty(DeviceInfoSet set, const DeviceInfoData& device, DWORD property,
                                         DWORD* type, uint8_t* buffer, DWORD size, DWORD* required) = 0;
  // SetupDiEnumDeviceInterfaces(set, device or null, class, index, data).
  virtual BOOL EnumDeviceInterfaces(DeviceInfoSet set, const DeviceInfoData* device, const text::Guid& interface_class,
                                    DWORD index, DeviceInterfaceData* data) = 0;
  // SetupDiGetDeviceInterfaceDetailW, reduced to the detail's DevicePath: with `path` null (and
  // `path_chars` 0) it fails with ERROR_INSUFFICIENT_BUFFER and tells in `required_chars` how many
  // characters the path needs with its terminating NUL; with a large enough buffer it fills it.
  virtual BOOL GetDeviceInterfacePath(DeviceInfoSet set, const DeviceInterfaceData& data, wchar_t* path,
                                      DWORD path_chars, DWORD* required_chars) = 0;
  virtual BOOL DeleteDeviceInterfaceData(DeviceInfoSet set, DeviceInterfaceData* data) = 0;
  virtual BOOL DestroyDeviceInfoList(DeviceInfoSet set) = 0;

  // --- Configuration manager.
  // CM_Get_Device_IDW(node, buffer, chars, flags): the ID is cut to fit with CR_BUFFER_SMALL.
  virtual ConfigRet GetDeviceId(DevInst node, wchar_t* buffer, DWORD chars, DWORD flags) = 0;
  virtual ConfigRet GetParent(DevInst* parent, DevInst node, DWORD flags) = 0;
  virtual ConfigRet GetDevNodeStatus(DWORD* status, DWORD* problem, DevInst node, DWORD flags) = 0;

  // --- A device interface as a file: CreateFileW(path, access, share, no security attributes,
  // disposition, attributes, no template) and CloseHandle. A failed open gives
  // kInvalidInterfaceHandle (or 0) with the last error set.
  virtual InterfaceHandle CreateInterfaceFile(const wchar_t* path, DWORD access, DWORD share, DWORD disposition,
                                              DWORD attributes) = 0;
  virtual BOOL CloseInterfaceFile(InterfaceHandle handle) = 0;

  // --- The calling thread's last error, as the calls above leave it.
  virtual DWORD LastError() = 0;
  virtual void SetLastErrorCode(DWORD error) = 0;
};

// The camera layer's start-up: VerifyVersionInfoW with VerSetConditionMask, CreateMutexW, WSAStartup /
// WSACleanup; and Sleep.
class CameraLayerHost {
 public:
  virtual ~CameraLayerHost() = default;
  // VerifyVersionInfoW of an OSVERSIONINFOEXW with these three fields, the type mask
  // VER_MAJORVERSION | VER_MINORVERSION | VER_SERVICEPACKMAJOR and VER_GREATER_EQUAL for each.
  virtual BOOL VersionAtLeast(DWORD major, DWORD minor, WORD service_pack_major) = 0;
  // CreateMutexW(no security attributes, not owned, name); 0 on failure. An existing name is no failure.
  virtual uintptr_t CreateNamedMutex(const wchar_t* name) = 0;
  // WSAStartup(requested, &data): the result, and data.wVersion in `granted`.
  virtual int WsaStartup(WORD requested, WORD* granted) = 0;
  virtual int WsaCleanup() = 0;
  virtual void SleepMs(DWORD milliseconds) = 0;
};

}  // namespace fcp::os
