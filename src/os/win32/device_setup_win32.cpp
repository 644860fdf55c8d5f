// SetupDi*, CM_*, CreateFileW/CloseHandle, VerifyVersionInfoW, CreateMutexW, WSAStartup/WSACleanup and
// Sleep behind the device-setup and camera-layer ports. Translation only.
#include "os/win32/device_setup_win32.h"

#include <winsock2.h>
#include <windows.h>
#include <cfgmgr32.h>
#include <setupapi.h>

#include <cstddef>
#include <cstring>

#include "os/win32/guid_win32.h"
#include <vector>

namespace fcp::os::win32 {
namespace {


HDEVINFO ToSet(DeviceInfoSet set) { return reinterpret_cast<HDEVINFO>(set); }

SP_DEVINFO_DATA ToInfo(const DeviceInfoData& d) {
  SP_DEVINFO_DATA out{};
  out.cbSize = sizeof out;
  out.ClassGuid = ToPlatform(d.class_guid);
  out.DevInst = d.dev_inst;
  out.Reserved = d.reserved;
  return out;
}

DeviceInfoData FromInfo(const SP_DEVINFO_DATA& d) {
  return DeviceInfoData{FromPlatform(d.ClassGuid), static_cast<DevInst>(d.DevInst), static_cast<uintptr_t>(d.Reserved)};
}

SP_DEVICE_INTERFACE_DATA ToInterface(const DeviceInterfaceData& d) {
  SP_DEVICE_INTERFACE_DATA out{};
  out.cbSize = sizeof out;
  out.InterfaceClassGuid = ToPlatform(d.interface_class);
  out.Flags = d.flags;
  out.Reserved = d.reserved;
  return out;
}

class Win32DeviceSetupPort final : public DeviceSetup {
 public:
  DeviceInfoSet GetClassDevs(const text::Guid* class_guid, const wchar_t* enumerator, DWORD flags) override {
    GUID guid{};
    if (class_guid != nullptr) guid = ToPlatform(*class_guid);
    const HDEVINFO set = SetupDiGetClassDevsW(class_guid != nullptr ? &guid : nullptr, enumerator, nullptr, flags);
    return set == INVALID_HANDLE_VALUE ? kInvalidDeviceInfoSet : reinterpret_cast<DeviceInfoSet>(set);
  }
  BOOL EnumDeviceInfo(DeviceInfoSet set, DWORD index, DeviceInfoData* data) override {
    SP_DEVINFO_DATA info{};
    info.cbSize = sizeof info;
    const BOOL ok = SetupDiEnumDeviceInfo(ToSet(set), index, &info);
    if (ok) *data = FromInfo(info);
    return ok;
  }
  BOOL GetDeviceRegistryProperty(DeviceInfoSet set, const DeviceInfoData& device, DWORD property, DWORD* type,
                                 uint8_t* buffer, DWORD size, DWORD* required) override {
    SP_DEVINFO_DATA info = ToInfo(device);
    return SetupDiGetDeviceRegistryPropertyW(ToSet(set), &info, property, type, buffer, size, required);
  }
  BOOL EnumDeviceInterfaces(DeviceInfoSet set, const DeviceInfoData* device, const text::Guid& interface_class, DWORD index,
                            DeviceInterfaceData* data) override {
    SP_DEVINFO_DATA info{};
    if (device != nullptr) info = ToInfo(*device);
    const GUID guid = ToPlatform(interface_class);
    SP_DEVICE_INTERFACE_DATA out{};
    out.cbSize = sizeof out;
    const BOOL ok = SetupDiEnumDeviceInterfaces(ToSet(set), device != nullptr ? &info : nullptr, &guid, index, &out);
    if (ok) *data = DeviceInterfaceData{FromPlatform(out.InterfaceClassGuid), out.Flags, static_cast<uintptr_t>(out.Reserved)};
    return ok;
  }
  BOOL GetDeviceInterfacePath(DeviceInfoSet set, const DeviceInterfaceData& data, wchar_t* path, DWORD path_chars,
                              DWORD* required_chars) override {
    SP_DEVICE_INTERFACE_DATA iface = ToInterface(data);
    constexpr DWORD kFixed = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath);
    if (path == nullptr) {
      DWORD required = 0;
      const BOOL ok = SetupDiGetDeviceInterfaceDetailW(ToSet(set), &iface, nullptr, 0, &required, nullptr);
      const DWORD error = GetLastError();
      if (required_chars != nullptr) *required_chars = required > kFixed ? (required - kFixed) / sizeof(wchar_t) : 0;
      SetLastError(error);
      return ok;
    }
    std::vector<uint8_t> bytes(kFixed + static_cast<size_t>(path_chars) * sizeof(wchar_t));
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(bytes.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    DWORD required = 0;
    const BOOL ok = SetupDiGetDeviceInterfaceDetailW(ToSet(set), &iface, detail, static_cast<DWORD>(bytes.size()),
                                                     &required, nullptr);
    const DWORD error = GetLastError();
    if (required_chars != nullptr) *required_chars = required > kFixed ? (required - kFixed) / sizeof(wchar_t) : 0;
    if (ok) std::memcpy(path, detail->DevicePath, static_cast<size_t>(path_chars) * sizeof(wchar_t));
    SetLastError(error);
    return ok;
  }
  BOOL DeleteDeviceInterfaceData(DeviceInfoSet set, DeviceInterfaceData* data) override {
    SP_DEVICE_INTERFACE_DATA iface = ToInterface(*data);
    return SetupDiDeleteDeviceInterfaceData(ToSet(set), &iface);
  }
  BOOL DestroyDeviceInfoList(DeviceInfoSet set) override { return SetupDiDestroyDeviceInfoList(ToSet(set)); }

  ConfigRet GetDeviceId(DevInst node, wchar_t* buffer, DWORD chars, DWORD flags) override {
    return CM_Get_Device_IDW(node, buffer, chars, flags);
  }
  ConfigRet GetParent(DevInst* parent, DevInst node, DWORD flags) override {
    DEVINST out = 0;
    const CONFIGRET result = CM_Get_Parent(&out, node, flags);
    *parent = out;
    return result;
  }
  ConfigRet GetDevNodeStatus(DWORD* status, DWORD* problem, DevInst node, DWORD flags) override {
    ULONG s = 0, p = 0;
    const CONFIGRET result = CM_Get_DevNode_Status(&s, &p, node, flags);
    *status = s;
    *problem = p;
    return result;
  }

  InterfaceHandle CreateInterfaceFile(const wchar_t* path, DWORD access, DWORD share, DWORD disposition,
                                      DWORD attributes) override {
    const HANDLE file = CreateFileW(path, access, share, nullptr, disposition, attributes, nullptr);
    return file == INVALID_HANDLE_VALUE ? kInvalidInterfaceHandle : reinterpret_cast<InterfaceHandle>(file);
  }
  BOOL CloseInterfaceFile(InterfaceHandle handle) override { return CloseHandle(reinterpret_cast<HANDLE>(handle)); }

  DWORD LastError() override { return GetLastError(); }
  void SetLastErrorCode(DWORD error) override { SetLastError(error); }
};

class Win32CameraLayerHostPort final : public CameraLayerHost {
 public:
  BOOL VersionAtLeast(DWORD major, DWORD minor, WORD service_pack_major) override {
    OSVERSIONINFOEXW info{};
    info.dwOSVersionInfoSize = sizeof info;
    info.dwMajorVersion = major;
    info.dwMinorVersion = minor;
    info.wServicePackMajor = service_pack_major;
    ULONGLONG mask = 0;
    mask = VerSetConditionMask(mask, VER_MAJORVERSION, VER_GREATER_EQUAL);
    mask = VerSetConditionMask(mask, VER_MINORVERSION, VER_GREATER_EQUAL);
    mask = VerSetConditionMask(mask, VER_SERVICEPACKMAJOR, VER_GREATER_EQUAL);
    return VerifyVersionInfoW(&info, VER_MAJORVERSION | VER_MINORVERSION | VER_SERVICEPACKMAJOR, mask);
  }
  uintptr_t CreateNamedMutex(const wchar_t* name) override {
    return reinterpret_cast<uintptr_t>(CreateMutexW(nullptr, FALSE, name));
  }
  int WsaStartup(WORD requested, WORD* granted) override {
    WSADATA data{};
    const int result = WSAStartup(requested, &data);
    *granted = data.wVersion;
    return result;
  }
  int WsaCleanup() override { return WSACleanup(); }
  void SleepMs(DWORD milliseconds) override { Sleep(milliseconds); }
};

}  // namespace

DeviceSetup& Win32DeviceSetup() {
  static Win32DeviceSetupPort instance;
  return instance;
}

CameraLayerHost& Win32CameraLayerHost() {
  static Win32CameraLayerHostPort instance;
  return instance;
}

}  // namespace fcp::os::win32
