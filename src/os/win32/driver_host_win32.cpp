// Translation only: each call is the Win32 call of the same name, with handles as opaque values.
#include "os/win32/driver_host_win32.h"

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <vector>

namespace fcp::os::win32 {
namespace {

SC_HANDLE AsService(SystemHandle h) { return reinterpret_cast<SC_HANDLE>(h); }
HANDLE AsHandle(SystemHandle h) { return reinterpret_cast<HANDLE>(h); }
SystemHandle FromHandle(HANDLE h) { return h == INVALID_HANDLE_VALUE ? 0 : reinterpret_cast<SystemHandle>(h); }

// The well-known principal a security identifier names.
Principal PrincipalOf(PSID sid) {
  if (!sid) return Principal::kOther;
  if (IsWellKnownSid(sid, WinLocalSystemSid)) return Principal::kSystem;
  if (IsWellKnownSid(sid, WinBuiltinAdministratorsSid)) return Principal::kAdministrators;
  PSID installer = nullptr;
  Principal principal = Principal::kOther;
  if (ConvertStringSidToSidW(L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464", &installer)) {
    if (EqualSid(sid, installer)) principal = Principal::kTrustedInstaller;
    LocalFree(installer);
  }
  return principal;
}

constexpr ACCESS_MASK kWriteRights = FILE_WRITE_DATA | FILE_APPEND_DATA | WRITE_DAC | WRITE_OWNER | DELETE |
                                     GENERIC_WRITE | GENERIC_ALL;

// Owner and writers from an access list read off an open handle.
bool ReadSecurity(HANDLE file, FileSecurity* security) {
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetSecurityInfo(file, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner, nullptr,
                      &dacl, nullptr, &descriptor) != ERROR_SUCCESS)
    return false;
  security->owner = PrincipalOf(owner);
  security->writers.clear();
  if (!dacl) {
    security->writers.push_back(Principal::kOther);  // no access list: everyone has every right
  } else {
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
      ACE_HEADER* ace = nullptr;
      if (!GetAce(dacl, i, reinterpret_cast<void**>(&ace))) {
        security->writers.push_back(Principal::kOther);
        continue;
      }
      if (ace->AceFlags & INHERIT_ONLY_ACE) continue;
      if (ace->AceType != ACCESS_ALLOWED_ACE_TYPE) {
        if (ace->AceType != ACCESS_DENIED_ACE_TYPE) security->writers.push_back(Principal::kOther);
        continue;
      }
      auto* allowed = reinterpret_cast<ACCESS_ALLOWED_ACE*>(ace);
      if (allowed->Mask & kWriteRights) security->writers.push_back(PrincipalOf(&allowed->SidStart));
    }
  }
  LocalFree(descriptor);
  return true;
}

// Everything about a file the installer needs, from one open handle.
bool ReadOpenFile(HANDLE file, size_t max_size, FileContents* contents) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(file, &info)) return false;
  contents->plain = !(info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) &&
                    info.nNumberOfLinks == 1;
  if (info.nFileSizeHigh != 0 || info.nFileSizeLow > max_size) {
    ::SetLastError(ERROR_FILE_TOO_LARGE);
    return false;
  }
  if (!ReadSecurity(file, &contents->security)) return false;
  contents->bytes.resize(info.nFileSizeLow);
  DWORD done = 0;
  while (done < contents->bytes.size()) {
    DWORD read = 0;
    if (!ReadFile(file, contents->bytes.data() + done, DWORD(contents->bytes.size() - done), &read, nullptr)) return false;
    if (read == 0) break;
    done += read;
  }
  // A file that changed length while read is not the file that was looked at.
  return done == contents->bytes.size();
}

class Host final : public DriverHost {
 public:
  LookedUp IsWow64Process2(uint16_t* process_machine, uint16_t* native_machine) override {
    using Fn = BOOL(WINAPI*)(HANDLE, USHORT*, USHORT*);
    auto fn = reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32"), "IsWow64Process2")));
    if (!fn) return LookedUp::kMissing;
    USHORT process = 0, native = 0;
    if (!fn(GetCurrentProcess(), &process, &native)) return LookedUp::kFailed;
    *process_machine = process;
    *native_machine = native;
    return LookedUp::kOk;
  }
  LookedUp IsWow64Process(BOOL* wow64) override {
    using Fn = BOOL(WINAPI*)(HANDLE, PBOOL);
    auto fn = reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32"), "IsWow64Process")));
    if (!fn) return LookedUp::kMissing;
    return fn(GetCurrentProcess(), wow64) ? LookedUp::kOk : LookedUp::kFailed;
  }
  uint16_t NativeProcessorArchitecture() override {
    SYSTEM_INFO info{};
    GetNativeSystemInfo(&info);
    return info.wProcessorArchitecture;
  }
  LookedUp DisableFsRedirection(uintptr_t* cookie) override {
    using Fn = BOOL(WINAPI*)(PVOID*);
    return CallRedirection<Fn>("Wow64DisableWow64FsRedirection", [&](Fn fn) {
      PVOID old = nullptr;
      const BOOL ok = fn(&old);
      *cookie = reinterpret_cast<uintptr_t>(old);
      return ok;
    });
  }
  LookedUp RevertFsRedirection(uintptr_t cookie) override {
    using Fn = BOOL(WINAPI*)(PVOID);
    return CallRedirection<Fn>("Wow64RevertWow64FsRedirection",
                               [&](Fn fn) { return fn(reinterpret_cast<PVOID>(cookie)); });
  }

  std::wstring SystemDirectory() override {
    wchar_t path[MAX_PATH];
    const UINT n = GetSystemDirectoryW(path, MAX_PATH);
    return n && n < MAX_PATH ? std::wstring(path, n) : std::wstring();
  }
  bool ReadWholeFile(const std::wstring& path, size_t max_size, FileContents* contents) override {
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ | READ_CONTROL, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    const bool ok = ReadOpenFile(file, max_size, contents);
    const DWORD error = ::GetLastError();
    ::CloseHandle(file);
    ::SetLastError(error);
    return ok;
  }
  bool WriteNewFile(const std::wstring& path, const uint8_t* bytes, size_t size, bool* created) override {
    *created = false;
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    *created = true;
    DWORD written = 0;
    const BOOL ok = WriteFile(file, bytes, static_cast<DWORD>(size), &written, nullptr) && written == size;
    const DWORD error = ::GetLastError();
    ::CloseHandle(file);
    ::SetLastError(error);
    return ok;
  }
  bool DeleteFileAt(const std::wstring& path) override { return DeleteFileW(path.c_str()) != 0; }

  SystemHandle CreateNamedMutex(const std::wstring& name) override {
    return reinterpret_cast<SystemHandle>(CreateMutexW(nullptr, FALSE, name.c_str()));
  }
  DWORD WaitForObject(SystemHandle handle, DWORD timeout_ms) override {
    return ::WaitForSingleObject(AsHandle(handle), timeout_ms);
  }
  BOOL ReleaseNamedMutex(SystemHandle handle) override { return ::ReleaseMutex(AsHandle(handle)); }
  BOOL CloseObjectHandle(SystemHandle handle) override { return ::CloseHandle(AsHandle(handle)); }

  SystemHandle OpenServiceManager(DWORD access) override {
    return reinterpret_cast<SystemHandle>(OpenSCManagerW(nullptr, nullptr, access));
  }
  SystemHandle OpenDriverService(SystemHandle manager, const std::wstring& name, DWORD access) override {
    return reinterpret_cast<SystemHandle>(OpenServiceW(AsService(manager), name.c_str(), access));
  }
  SystemHandle CreateDriverService(SystemHandle manager, const std::wstring& name, const std::wstring& display_name,
                                   DWORD access, DWORD type, DWORD start, DWORD error_control,
                                   const std::wstring& binary_path) override {
    return reinterpret_cast<SystemHandle>(CreateServiceW(AsService(manager), name.c_str(), display_name.c_str(), access,
                                                         type, start, error_control, binary_path.c_str(), nullptr,
                                                         nullptr, nullptr, nullptr, nullptr));
  }
  BOOL StartDriverService(SystemHandle service) override { return StartServiceW(AsService(service), 0, nullptr); }
  BOOL ControlDriverService(SystemHandle service, DWORD control, DWORD* state) override {
    SERVICE_STATUS status{};
    const BOOL ok = ControlService(AsService(service), control, &status);
    *state = status.dwCurrentState;
    return ok;
  }
  BOOL QueryDriverServiceStatus(SystemHandle service, DWORD* state) override {
    SERVICE_STATUS status{};
    const BOOL ok = QueryServiceStatus(AsService(service), &status);
    *state = status.dwCurrentState;
    return ok;
  }
  BOOL DeleteDriverService(SystemHandle service) override { return DeleteService(AsService(service)); }
  BOOL CloseServiceManagerHandle(SystemHandle handle) override { return CloseServiceHandle(AsService(handle)); }

  void Pause(DWORD ms) override { ::Sleep(ms); }
  DWORD LastError() override { return ::GetLastError(); }
  void SetLastErrorCode(DWORD error) override { ::SetLastError(error); }

 private:
  // The redirection functions come from kernel32.dll, loaded for the call and freed again.
  template <class Fn, class Call>
  LookedUp CallRedirection(const char* name, Call call) {
    const HMODULE module = LoadLibraryW(L"kernel32.dll");
    if (!module) return LookedUp::kMissing;
    auto fn = reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
    LookedUp result = LookedUp::kMissing;
    if (fn) result = call(fn) ? LookedUp::kOk : LookedUp::kFailed;
    const DWORD error = ::GetLastError();
    FreeLibrary(module);
    ::SetLastError(error);
    return result;
  }
};

class Device final : public DriverDevice {
 public:
  SystemHandle Open(const std::wstring& path) override {
    return FromHandle(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_OVERLAPPED, nullptr));
  }
  BOOL IoControl(SystemHandle device, DWORD code, void* in, DWORD in_size, void* out, DWORD out_size,
                 DWORD* returned) override {
    return DeviceIoControl(AsHandle(device), code, in, in_size, out, out_size, returned, nullptr);
  }
  BOOL Close(SystemHandle device) override { return ::CloseHandle(AsHandle(device)); }
};

}  // namespace

DriverHost& Win32DriverHost() {
  static Host host;
  return host;
}

DriverDevice& Win32DriverDevice() {
  static Device device;
  return device;
}

}  // namespace fcp::os::win32
