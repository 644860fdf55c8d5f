#include "dfu/diagnostic.h"

#include <cstdarg>
#include <cstdio>

namespace fcp::dfu {
namespace {
char g_diagnostic[kDiagnosticSize];
}

void SetDiagnostic(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vsnprintf(g_diagnostic, sizeof g_diagnostic, format, args);
  va_end(args);
}

const char* Diagnostic() { return g_diagnostic; }

void ClearDiagnostic() { g_diagnostic[0] = '\0'; }

}  // namespace fcp::dfu
