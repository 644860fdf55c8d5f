// "RefCount" in the KvxUpx service key, as the Wine probes read it: -1 when it cannot be read.
#pragma once
#include <windows.h>

inline long ServiceRefCount() {
  DWORD value = 0, size = sizeof value, type = 0;
  HKEY key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"System\\CurrentControlSet\\Services\\KvxUpx", 0, KEY_READ, &key) !=
      ERROR_SUCCESS)
    return -1;
  const LONG r = RegQueryValueExW(key, L"RefCount", nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
  RegCloseKey(key);
  return r == ERROR_SUCCESS && type == REG_DWORD ? long(value) : -1;
}
