// The portable GUID and the platform's, converted field by field.
#pragma once
#include <windows.h>

#include "text/guid.h"

namespace fcp::os::win32 {

inline text::Guid FromPlatform(const GUID& g) {
  text::Guid out;
  out.data1 = g.Data1;
  out.data2 = g.Data2;
  out.data3 = g.Data3;
  for (int i = 0; i < 8; ++i) out.data4[i] = g.Data4[i];
  return out;
}

inline GUID ToPlatform(const text::Guid& g) {
  GUID out;
  out.Data1 = g.data1;
  out.Data2 = g.data2;
  out.Data3 = g.data3;
  for (int i = 0; i < 8; ++i) out.Data4[i] = g.data4[i];
  return out;
}

}  // namespace fcp::os::win32
