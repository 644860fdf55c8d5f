// The tool's own driver installer on a real service manager: the embedded image written out,
// installed, started and opened; a second process that shares the running driver; the last user
// removing service and file; the local override (trusted and not); nothing taken from or written to
// the temporary directory; the installed file's version rule; and a 32-bit tool on 64-bit Windows. Prints one line per check ("ok", "FAIL", or "limit" for what
// the host cannot do) and exits 0 when no check failed.
//   kvxupx_service_probe.exe main          (64-bit build: every step, with child processes)
//   kvxupx_service_probe.exe wow64         (32-bit build on 64-bit Windows)
//   kvxupx_service_probe.exe second <ready event> <go event>   (the second process of main)
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "driver/kvxupx_ioctl.h"
#include "service_refcount.h"
#include "os/port.h"
#include "os/win32/device_registry_win32.h"
#include "os/win32/driver_host_win32.h"
#include "passthrough/driver_service.h"
#include "passthrough/kvxupx.h"

namespace {

namespace pt = fcp::passthrough;
int g_failures = 0;

void Check(bool ok, const char* what, long detail = 0) {
  std::printf("%s %s (%ld)\n", ok ? "ok" : "FAIL", what, detail);
  std::fflush(stdout);
  if (!ok) ++g_failures;
}
void Limit(const char* what, long detail) {
  std::printf("limit %s (%ld)\n", what, detail);
  std::fflush(stdout);
}

std::wstring SystemDriverFile() {
  wchar_t dir[MAX_PATH];
  GetSystemDirectoryW(dir, MAX_PATH);
  return std::wstring(dir) + L"\\drivers\\KvxUpx.sys";
}
std::wstring TempFile(const wchar_t* name) {
  wchar_t dir[MAX_PATH + 1];
  GetTempPathW(MAX_PATH + 1, dir);
  return std::wstring(dir) + name;
}
const std::wstring kOverride = L"C:\\KvxUpx.sys";

std::vector<uint8_t> ReadAll(const std::wstring& path) {
  std::vector<uint8_t> bytes;
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return bytes;
  bytes.resize(GetFileSize(file, nullptr));
  DWORD read = 0;
  if (!ReadFile(file, bytes.data(), DWORD(bytes.size()), &read, nullptr)) read = 0;
  bytes.resize(read);
  CloseHandle(file);
  return bytes;
}
bool WriteAll(const std::wstring& path, const std::vector<uint8_t>& bytes) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const BOOL ok = WriteFile(file, bytes.data(), DWORD(bytes.size()), &written, nullptr);
  CloseHandle(file);
  return ok && written == bytes.size();
}
std::vector<uint8_t> Image(int slot) {
  const pt::DriverImage& image = pt::EmbeddedDriverImages().slot[slot];
  return std::vector<uint8_t>(image.data, image.data + image.size);
}

// The image with its file version's revision moved by `delta` (the fixed version information).
std::vector<uint8_t> WithRevision(std::vector<uint8_t> image, int delta) {
  const uint32_t signature = 0xFEEF04BD;
  for (size_t i = 0; i + 16 <= image.size(); i += 4) {
    uint32_t word;
    std::memcpy(&word, &image[i], 4);
    if (word != signature) continue;
    uint32_t ls;
    std::memcpy(&ls, &image[i + 12], 4);  // dwFileVersionLS: build << 16 | revision
    ls = (ls & 0xFFFF0000u) | uint16_t((ls & 0xFFFF) + delta);
    std::memcpy(&image[i + 12], &ls, 4);
    return image;
  }
  return {};
}

long RefCount() { return ServiceRefCount(); }

// Close requests reach the driver after CloseHandle returns: give them a moment.
long RefCountSettled(long expected) {
  long value = RefCount();
  for (int i = 0; i < 50 && value != expected; ++i) {
    Sleep(100);
    value = RefCount();
  }
  return value;
}

// The service's state, 0 when it does not exist.
DWORD ServiceState() {
  SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  SC_HANDLE service = scm ? OpenServiceW(scm, L"KvxUpx", SERVICE_QUERY_STATUS) : nullptr;
  SERVICE_STATUS status{};
  DWORD state = 0;
  if (service && QueryServiceStatus(service, &status)) state = status.dwCurrentState;
  if (service) CloseServiceHandle(service);
  if (scm) CloseServiceHandle(scm);
  return state;
}

// Waits until the service manager has finished with the service (stopped and deleted).
bool ServiceGone() {
  for (int i = 0; i < 50; ++i) {
    if (ServiceState() == 0) return true;
    Sleep(100);
  }
  return false;
}

// What an earlier, interrupted run left: no service, no driver file, no override, no kept copy.
void CleanUp() {
  SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  if (SC_HANDLE service = scm ? OpenServiceW(scm, L"KvxUpx", SERVICE_ALL_ACCESS) : nullptr) {
    SERVICE_STATUS status;
    ControlService(service, SERVICE_CONTROL_STOP, &status);
    DeleteService(service);
    CloseServiceHandle(service);
  }
  if (scm) CloseServiceHandle(scm);
  ServiceGone();
  DeleteFileW(SystemDriverFile().c_str());
  DeleteFileW(kOverride.c_str());
  DeleteFileW(TempFile(L"KvxUpx_n.sys").c_str());
}

struct Ports {
  fcp::os::ScopedPort<fcp::os::DriverHost> host{&fcp::os::win32::Win32DriverHost()};
  fcp::os::ScopedPort<fcp::os::DriverDevice> device{&fcp::os::win32::Win32DriverDevice()};
  fcp::os::ScopedPort<fcp::os::DeviceRegistry> registry{&fcp::os::win32::Win32DeviceRegistry()};
};

// A freshly started service manager answers "database locked" for a moment: the first init retries.
int InitWhenReady() {
  int ok = KvxUpx_Init();
  for (int i = 0; i < 50 && !ok; ++i) {
    Sleep(100);
    ok = KvxUpx_Init();
  }
  return ok;
}

// The driver checks the control block's length before anything else: a wrong length answers
// ERROR_INVALID_PARAMETER, a right one gets as far as the interface handle.
void CheckBlockLengthAccepted(const char* what) {
  uint32_t low = 0, high = 0;
  const uintptr_t not_an_interface = 0x7FF0;
  const int ok = KvxUpx_OpenDevice(0, not_an_interface, &low, &high);
  const DWORD error = GetLastError();
  Check(!ok && error != ERROR_INVALID_PARAMETER, what, long(error));
}

// Security of a file: owned by the administrators and writable by them and the system only, or
// (trusted false) owned by the users group, which may also write it.
bool SetSecurity(const std::wstring& path, bool trusted) {
  const wchar_t* sddl = trusted ? L"O:BAD:P(A;;FA;;;BA)(A;;FA;;;SY)" : L"O:BUD:P(A;;FA;;;BA)(A;;FA;;;SY)(A;;FA;;;BU)";
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor, nullptr)) return false;
  BOOL present = FALSE, defaulted = FALSE;
  PACL dacl = nullptr;
  PSID owner = nullptr;
  GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted);
  GetSecurityDescriptorOwner(descriptor, &owner, &defaulted);
  const DWORD error = SetNamedSecurityInfoW(const_cast<wchar_t*>(path.c_str()), SE_FILE_OBJECT,
                                            OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
                                                PROTECTED_DACL_SECURITY_INFORMATION,
                                            owner, nullptr, dacl, nullptr);
  LocalFree(descriptor);
  return error == ERROR_SUCCESS;
}

// A file's owner and access list as text, for the log.
std::wstring SecurityText(const std::wstring& path) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  wchar_t* text = nullptr;
  std::wstring result = L"(unreadable)";
  if (GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                            nullptr, nullptr, nullptr, nullptr, &descriptor) == ERROR_SUCCESS &&
      ConvertSecurityDescriptorToStringSecurityDescriptorW(
          descriptor, SDDL_REVISION_1, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &text, nullptr)) {
    result = text;
    LocalFree(text);
  }
  if (descriptor) LocalFree(descriptor);
  return result;
}

// Whether the installer's port reads the file as owned by the administrators or the system.
bool OwnerTrusted(const std::wstring& path) {
  fcp::os::FileContents file;
  return fcp::os::win32::Win32DriverHost().ReadWholeFile(path, pt::kMaxDriverImageSize, &file) &&
         (file.security.owner == fcp::os::Principal::kAdministrators ||
          file.security.owner == fcp::os::Principal::kSystem);
}

int Second(const wchar_t* ready_name, const wchar_t* go_name) {
  HANDLE ready = OpenEventW(EVENT_MODIFY_STATE, FALSE, ready_name);
  HANDLE go = OpenEventW(SYNCHRONIZE, FALSE, go_name);
  Check(RefCountSettled(1) == 1 && ServiceState() == SERVICE_RUNNING, "second process finds the driver running, RefCount 1",
        RefCount());
  const std::vector<uint8_t> before = ReadAll(SystemDriverFile());
  Check(KvxUpx_Init() == 1, "second process opens the driver");
  Check(RefCountSettled(2) == 2, "RefCount 2 with two processes", RefCount());
  Check(ReadAll(SystemDriverFile()) == before && ServiceState() == SERVICE_RUNNING,
        "second process neither stopped nor replaced the driver");
  SetEvent(ready);
  WaitForSingleObject(go, 60000);
  KvxUpx_Close();
  CloseHandle(ready);
  CloseHandle(go);
  return g_failures ? 1 : 0;
}

void Main(const wchar_t* self) {
  CleanUp();
  const std::vector<uint8_t> x64 = Image(1);
  Check(!x64.empty() && !Image(0).empty() && !Image(3).empty(), "the tool carries three images",
        long(x64.size()));

  // First user: written out, installed, started, opened.
  Check(InitWhenReady() == 1, "first process installs, starts and opens the driver", long(GetLastError()));
  Check(ServiceState() == SERVICE_RUNNING, "service running", long(ServiceState()));
  Check(ReadAll(SystemDriverFile()) == x64, "installed file is the embedded x64 image");
  Check(GetFileAttributesW(TempFile(L"KvxUpx_n.sys").c_str()) == INVALID_FILE_ATTRIBUTES &&
            GetFileAttributesW(TempFile(L"KvxUpx_s.sys").c_str()) == INVALID_FILE_ATTRIBUTES,
        "nothing written to the temporary directory");
  Check(RefCountSettled(1) == 1, "RefCount 1", RefCount());
  CheckBlockLengthAccepted("driver accepts the 40-byte control block");

  // A second process shares it.
  HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, L"KvxUpxProbeReady");
  HANDLE go = CreateEventW(nullptr, TRUE, FALSE, L"KvxUpxProbeGo");
  std::wstring command = std::wstring(L"\"") + self + L"\" second KvxUpxProbeReady KvxUpxProbeGo";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION child{};
  if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &child)) {
    Check(false, "second process starts", long(GetLastError()));
    KvxUpx_Close();
    return;
  }
  WaitForSingleObject(ready, 60000);
  Check(KvxUpx_Close() == 1 && RefCountSettled(1) == 1, "first process closes: RefCount 1", RefCount());
  Check(ServiceState() == SERVICE_RUNNING, "service still running for the second");
  SetEvent(go);
  WaitForSingleObject(child.hProcess, 60000);
  DWORD child_exit = 1;
  GetExitCodeProcess(child.hProcess, &child_exit);
  Check(child_exit == 0, "second process's checks", long(child_exit));
  CloseHandle(child.hProcess);
  CloseHandle(child.hThread);
  CloseHandle(ready);
  CloseHandle(go);
  Check(ServiceGone(), "last close stops and deletes the service", long(ServiceState()));
  Check(GetFileAttributesW(SystemDriverFile().c_str()) == INVALID_FILE_ATTRIBUTES, "installed file removed");

  // A local override owned by the administrators, and writable by them and the system only, is
  // installed instead of the embedded image (it carries 16 bytes more); one a user owns or may
  // write is ignored.
  std::vector<uint8_t> override_image = x64;
  override_image.insert(override_image.end(), 16, 0x5A);
  WriteAll(kOverride, override_image);
  DeleteFileW(TempFile(L"KvxUpx_n.sys").c_str());
  SetSecurity(kOverride, true);
  std::printf("  override file: %ls\n", SecurityText(kOverride).c_str());
  if (OwnerTrusted(kOverride)) {
    Check(InitWhenReady() == 1, "driver starts from the local override");
    Check(ReadAll(SystemDriverFile()) == override_image, "installed file is the override");
    KvxUpx_Close();
    Check(ServiceGone(), "service removed again");
  } else {
    Limit("an override owned by the administrators (the host keeps no file owner but the user's)", 0);
  }
  SetSecurity(kOverride, false);
  std::printf("  override file: %ls\n", SecurityText(kOverride).c_str());
  if (!OwnerTrusted(kOverride)) {
    Check(InitWhenReady() == 1, "driver starts despite an untrusted override");
    Check(ReadAll(SystemDriverFile()) == x64, "untrusted override ignored: the embedded image is installed");
    KvxUpx_Close();
    Check(ServiceGone(), "service removed again");
  } else {
    Limit("an override owned by a user (the host keeps no file owners)", 0);
  }
  DeleteFileW(kOverride.c_str());

  // A copy in the temporary directory, even a newer one, is neither installed nor changed.
  const std::vector<uint8_t> older = WithRevision(x64, -1), newer = WithRevision(x64, +1);
  Check(!older.empty(), "image carries its fixed version information");
  WriteAll(TempFile(L"KvxUpx_n.sys"), newer);
  Check(InitWhenReady() == 1 && ReadAll(SystemDriverFile()) == x64 && ReadAll(TempFile(L"KvxUpx_n.sys")) == newer,
        "a newer copy in the temporary directory is neither installed nor changed");
  KvxUpx_Close();
  Check(ServiceGone(), "service removed again");
  DeleteFileW(TempFile(L"KvxUpx_n.sys").c_str());

  // An installed file older than the embedded image is replaced; a newer one that only the
  // administrators could have written stays and is what gets started.
  WriteAll(SystemDriverFile(), older);
  SetSecurity(SystemDriverFile(), true);
  Check(InitWhenReady() == 1 && ReadAll(SystemDriverFile()) == x64, "older installed file replaced by the embedded image");
  KvxUpx_Close();
  Check(ServiceGone(), "service removed again");
  WriteAll(SystemDriverFile(), newer);
  SetSecurity(SystemDriverFile(), true);
  if (OwnerTrusted(SystemDriverFile())) {
    Check(InitWhenReady() == 1 && ReadAll(SystemDriverFile()) == newer, "newer installed file kept and started");
    KvxUpx_Close();
    Check(ServiceGone(), "service removed again");
  } else {
    Limit("an installed file owned by the administrators (the host keeps no file owner but the user's)", 0);
  }
  DeleteFileW(SystemDriverFile().c_str());
}

// A 32-bit tool on 64-bit Windows: the x64 image goes to the real system directory, and the blocks
// are built for the 64-bit kernel.
void Wow64() {
  BOOL wow64 = FALSE;
  IsWow64Process(GetCurrentProcess(), &wow64);
  Check(wow64, "running as a 32-bit process on 64-bit Windows");
  CleanUp();
  Check(InitWhenReady() == 1, "32-bit tool installs, starts and opens the driver", long(GetLastError()));
  const pt::KernelLayout layout = pt::ProcessDriverService().Layout();
  Check(layout.control_block_size == 40 && layout.urb.size == 136, "40-byte control and 136-byte request blocks",
        long(layout.control_block_size * 1000 + layout.urb.size));
  CheckBlockLengthAccepted("driver accepts the 32-bit tool's control block");
  PVOID old = nullptr;
  Wow64DisableWow64FsRedirection(&old);
  const std::vector<uint8_t> installed = ReadAll(SystemDriverFile());
  Wow64RevertWow64FsRedirection(old);
  Check(installed == Image(1), "the x64 image installed in the 64-bit system directory", long(installed.size()));
  KvxUpx_Close();
  Check(ServiceGone(), "last close stops and deletes the service");
  Wow64DisableWow64FsRedirection(&old);
  Check(GetFileAttributesW(SystemDriverFile().c_str()) == INVALID_FILE_ATTRIBUTES, "installed file removed");
  Wow64RevertWow64FsRedirection(old);
  DeleteFileW(TempFile(L"KvxUpx_n.sys").c_str());
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  Ports ports;
  const std::wstring mode = argc > 1 ? argv[1] : L"";
  if (mode == L"second" && argc > 3) return Second(argv[2], argv[3]);
  if (mode == L"main") {
    Main(argv[0]);
  } else if (mode == L"wow64") {
    Wow64();
  } else {
    std::printf("usage: kvxupx_service_probe main | wow64\n");
    return 2;
  }
  std::printf("%d check(s) failed\n", g_failures);
  return g_failures ? 1 : 0;
}
