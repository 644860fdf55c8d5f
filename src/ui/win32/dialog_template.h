// The framework's dialog template data as an extended dialog template (DLGTEMPLATEEX) in memory, so
// the Win32 dialogs come from the same data as every other backend instead of a resource script.
#pragma once
#include <windows.h>

#include <vector>

#include "ui/dialog_template.h"

namespace fcp::ui::win32 {

// The template as DialogBoxIndirectParamW expects it (DWORD-aligned storage).
class DialogTemplateBuffer {
 public:
  explicit DialogTemplateBuffer(const DialogTemplate& dialog);
  const DLGTEMPLATE* Get() const { return reinterpret_cast<const DLGTEMPLATE*>(storage_.data()); }

 private:
  std::vector<DWORD> storage_;
};

}  // namespace fcp::ui::win32
