// The probe's diagnostic text: the last warning of the DFU interface listing. Each message replaces
// the previous one; nothing in the tool reads it back for a verdict, it is there for diagnosis.
#pragma once
#include <cstddef>

namespace fcp::dfu {

inline constexpr std::size_t kDiagnosticSize = 1024;

// printf-style; the text is cut to kDiagnosticSize - 1 characters.
void SetDiagnostic(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
const char* Diagnostic();
void ClearDiagnostic();

}  // namespace fcp::dfu
