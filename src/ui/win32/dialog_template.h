// An extended dialog template (DLGTEMPLATEEX) built in memory, so the Win32 dialogs come from the
// same template data as every other backend instead of from a resource script.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

namespace fcp::ui::win32 {

struct TemplateItem {
  std::wstring windowClass;  // "BUTTON", "EDIT", "STATIC", ... (sent by name)
  std::wstring text;
  DWORD id = 0;
  short x = 0, y = 0, cx = 0, cy = 0;  // dialog units
  DWORD style = 0;                     // WS_CHILD | WS_VISIBLE are added
  DWORD exStyle = 0;
};

struct TemplateDialog {
  std::wstring caption;
  short x = 0, y = 0, cx = 0, cy = 0;  // dialog units
  DWORD style = 0;                     // DS_SETFONT is added
  DWORD exStyle = 0;
  std::wstring fontFace;
  WORD pointSize = 8;
  WORD fontWeight = FW_NORMAL;
  BYTE italic = FALSE;
  BYTE charset = DEFAULT_CHARSET;
  std::vector<TemplateItem> items;
};

// The template as DialogBoxIndirectParamW expects it (DWORD-aligned storage).
class DialogTemplateBuffer {
 public:
  explicit DialogTemplateBuffer(const TemplateDialog& dialog);
  const DLGTEMPLATE* get() const { return reinterpret_cast<const DLGTEMPLATE*>(storage_.data()); }

 private:
  std::vector<DWORD> storage_;
};

}  // namespace fcp::ui::win32
