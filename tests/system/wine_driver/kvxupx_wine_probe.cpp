// Installs the KvxUpx driver image as a demand-start kernel service, starts it, opens its device and
// checks the answers that need no USB device: refused codes, lengths and handles, and "RefCount"
// in the service key following the open handles. Prints one line per check ("ok", "FAIL", or
// "limit" for what the host kernel cannot do) and exits 0 when no check failed.
//   kvxupx_wine_probe.exe <driver file, Windows path>
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <cstdio>
#include <string>
#include <cstring>

#include "driver/kvxupx_ioctl.h"
#include "service_refcount.h"

namespace {

namespace kv = fcp::kvxupx;
constexpr wchar_t kName[] = L"KvxUpx";
constexpr wchar_t kDevicePath[] = L"\\\\.\\KvxUpx";
int g_failures = 0;

void Check(bool ok, const char* what, DWORD detail = 0) {
  std::printf("%s %s (%lu)\n", ok ? "ok" : "FAIL", what, detail);
  if (!ok) ++g_failures;
}
void Limit(const char* what, DWORD detail) { std::printf("limit %s (%lu)\n", what, detail); }

long RefCount() { return ServiceRefCount(); }

// Close requests reach the driver after CloseHandle returns: give them a moment.
void CheckRefCount(long expected, const char* what) {
  long value = RefCount();
  for (int i = 0; i < 50 && value != expected; ++i) {
    Sleep(100);
    value = RefCount();
  }
  Check(value == expected, what, DWORD(value));
}

// The device's access rule as text, or empty (with *error set) when the host cannot tell.
std::wstring DeviceSecurity(HANDLE device, DWORD* error) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  *error = GetSecurityInfo(device, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr, nullptr,
                           &descriptor);
  if (*error != ERROR_SUCCESS) return L"";
  wchar_t* text = nullptr;
  std::wstring result;
  if (ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION,
                                                           &text, nullptr)) {
    result = text;
    LocalFree(text);
  } else {
    *error = GetLastError();
  }
  LocalFree(descriptor);
  return result;
}

// The control's Win32 error, or 0 when it succeeded.
DWORD Control(HANDLE device, DWORD code, const kv::ControlRequest& request, DWORD in, DWORD out) {
  unsigned char buffer[64] = {};
  const auto block = kv::EncodeControlBlock<kv::ControlBlock64>(request);
  std::memcpy(buffer, &block, sizeof block);
  DWORD returned = 0;
  if (DeviceIoControl(device, code, buffer, in, out ? buffer : nullptr, out, &returned, nullptr)) return 0;
  return GetLastError();
}

void RemoveService(SC_HANDLE scm) {
  SC_HANDLE service = OpenServiceW(scm, kName, SERVICE_ALL_ACCESS);
  if (!service) return;
  SERVICE_STATUS status;
  ControlService(service, SERVICE_CONTROL_STOP, &status);
  for (int i = 0; i < 50 && QueryServiceStatus(service, &status) && status.dwCurrentState != SERVICE_STOPPED; ++i) {
    Sleep(100);
  }
  DeleteService(service);
  CloseServiceHandle(service);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) {
    std::printf("usage: kvxupx_wine_probe <driver file>\n");
    return 2;
  }
  SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  Check(scm != nullptr, "service manager opens", GetLastError());
  if (!scm) return 1;
  RemoveService(scm);  // what an earlier run left behind

  SC_HANDLE service = CreateServiceW(scm, kName, kName, SERVICE_ALL_ACCESS, SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START,
                                     SERVICE_ERROR_IGNORE, argv[1], nullptr, nullptr, nullptr, nullptr, nullptr);
  Check(service != nullptr, "demand-start kernel service created", GetLastError());
  if (!service) return 1;
  // A service manager still starting up answers "database locked" for a moment.
  BOOL started = StartServiceW(service, 0, nullptr);
  for (int i = 0; i < 50 && !started && GetLastError() == ERROR_SERVICE_DATABASE_LOCKED; ++i) {
    Sleep(100);
    started = StartServiceW(service, 0, nullptr);
  }
  Check(started, "service started (driver loaded)", started ? 0 : GetLastError());
  if (!started) {
    RemoveService(scm);
    return 1;
  }
  CheckRefCount(0, "RefCount 0 after load");

  HANDLE first = CreateFileW(kDevicePath, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  Check(first != INVALID_HANDLE_VALUE, "device opens", GetLastError());
  if (first != INVALID_HANDLE_VALUE) {
    CheckRefCount(1, "RefCount 1 with one handle");
    DWORD security_error = 0;
    const std::wstring security = DeviceSecurity(first, &security_error);
    if (security.empty() || security == L"D:") {
      // Wine keeps no descriptor on device objects: the rule the driver set is not visible here.
      Limit("reading the device's security descriptor", security_error);
    } else {
      Check(security == L"D:P(A;;FA;;;SY)(A;;FA;;;BA)", "device open to the system and the administrators only",
            DWORD(security.size()));
      if (security != L"D:P(A;;FA;;;SY)(A;;FA;;;BA)") std::printf("  found %ls\n", security.c_str());
    }
    const DWORD block = sizeof(kv::ControlBlock64);
    struct Case {
      const char* what;
      DWORD code, in, out;
      kv::ControlRequest request;
    } cases[] = {
        {"unknown code refused", kv::ControlCode(0xB14), block, block, {}},
        {"open-device with a short block refused", kv::kIoctlOpenDevice, block - 1, block, {.interface_handle = 4}},
        {"open-device without output refused", kv::kIoctlOpenDevice, block, 0, {.interface_handle = 4}},
        {"open-device with interface handle 0 refused", kv::kIoctlOpenDevice, block, block, {}},
        {"close-device with a short block refused", kv::kIoctlCloseDevice, block - 1, 0, {.device_handle = 1}},
        {"close-device of an unregistered handle refused", kv::kIoctlCloseDevice, block, 0, {.device_handle = 0x1234}},
        {"submission to an unregistered handle refused", kv::kIoctlSubmitUrb, block, 0,
         {.device_handle = 0x1234, .urb_address = 0x10000, .timeout_ms = 1000}},
    };
    for (const Case& c : cases) {
      const DWORD error = Control(first, c.code, c.request, c.in, c.out);
      Check(error == ERROR_INVALID_PARAMETER, c.what, error);
    }

    // Registering a device needs the caller's handle table in the driver's process, which Wine's
    // driver host does not share: report what comes back.
    HANDLE self = CreateFileW(argv[0], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    const DWORD open_error = Control(first, kv::kIoctlOpenDevice,
                                     {.interface_handle = uint64_t(uintptr_t(self)), .transport_kind = 0}, block, block);
    if (open_error == ERROR_ACCESS_DENIED) {
      Check(true, "open-device of a handle that is no USB camera function refused", open_error);
    } else {
      Limit("open-device with a real interface handle", open_error);
    }
    if (self != INVALID_HANDLE_VALUE) CloseHandle(self);

    HANDLE second = CreateFileW(kDevicePath, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (second == INVALID_HANDLE_VALUE) {
      Limit("second handle on the device", GetLastError());
    } else {
      CheckRefCount(2, "RefCount 2 with two handles");
      CloseHandle(second);
      CheckRefCount(1, "RefCount 1 after closing one");
    }
    CloseHandle(first);
    CheckRefCount(0, "RefCount 0 after the last close");
  }

  SERVICE_STATUS status;
  const BOOL stopped = ControlService(service, SERVICE_CONTROL_STOP, &status);
  Check(stopped, "service stops (driver unloads)", GetLastError());
  CloseServiceHandle(service);
  RemoveService(scm);
  CloseServiceHandle(scm);
  std::printf("%d check(s) failed\n", g_failures);
  return g_failures ? 1 : 0;
}
