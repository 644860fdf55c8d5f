// A dialog template as data: caption, size in dialog units, styles, font and controls. Every backend
// builds its window from the same template (win32 as an in-memory DLGTEMPLATEEX, gtk laid out from the
// font's dialog-unit metrics, headless as plain control state).
#pragma once
#include <span>
#include <string_view>

#include "ui/win_ui_types.h"

namespace fcp::ui {

enum class ControlKind { Static, Button, Edit, Icon };

struct ControlTemplate {
  ControlKind kind = ControlKind::Static;
  int id = IDC_STATIC;
  std::wstring_view text;  // Icon: empty, the picture is iconResource
  short x = 0, y = 0, cx = 0, cy = 0;  // dialog units
  DWORD style = 0;                     // WS_CHILD | WS_VISIBLE are implied
  DWORD exStyle = 0;
  int iconResource = 0;  // Icon only
};

struct DialogTemplate {
  int id = 0;
  std::wstring_view caption;
  short x = 0, y = 0, cx = 0, cy = 0;  // dialog units
  DWORD style = 0;                     // DS_SETFONT is implied
  DWORD exStyle = 0;
  std::wstring_view fontFace;
  WORD pointSize = 8;
  WORD fontWeight = 400;
  BYTE italic = 0;
  BYTE charset = 1;  // DEFAULT_CHARSET
  std::span<const ControlTemplate> controls;

  const ControlTemplate* FindControl(int controlId) const {
    for (const ControlTemplate& c : controls)
      if (c.id == controlId && controlId != IDC_STATIC) return &c;
    return nullptr;
  }
};

// The tool's resources: dialog templates by id (nullptr: none) and the string table (empty: none).
const DialogTemplate* FindDialogTemplate(int templateId);
std::wstring_view LoadResourceString(UINT stringId);

// The template's font as a logical font at 96 dots per inch (a negative height: the character height).
LOGFONTW FontOf(const DialogTemplate& dialog);

}  // namespace fcp::ui
