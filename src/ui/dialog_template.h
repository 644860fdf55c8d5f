// A dialog template as data: caption, size in dialog units, styles, font and controls. Every backend
// builds its window from the same template (win32 as an in-memory DLGTEMPLATEEX, gtk laid out from the
// font's dialog-unit metrics, headless as plain control state).
#pragma once
#include <span>
#include <string_view>

#include "ui/win_ui_types.h"

namespace fcp::ui {

enum class ControlKind { kStatic, kButton, kEdit, kIcon };

struct ControlTemplate {
  ControlKind kind = ControlKind::kStatic;
  int id = IDC_STATIC;
  std::wstring_view text;  // Icon: empty, the picture is icon_resource
  short x = 0, y = 0, cx = 0, cy = 0;  // dialog units
  DWORD style = 0;                     // WS_CHILD | WS_VISIBLE are implied
  DWORD ex_style = 0;
  int icon_resource = 0;  // Icon only
};

struct DialogTemplate {
  int id = 0;
  std::wstring_view caption;
  short x = 0, y = 0, cx = 0, cy = 0;  // dialog units
  DWORD style = 0;                     // DS_SETFONT is implied
  DWORD ex_style = 0;
  std::wstring_view font_face;
  WORD point_size = 8;
  WORD font_weight = 400;
  BYTE italic = 0;
  BYTE charset = 1;  // DEFAULT_CHARSET
  std::span<const ControlTemplate> controls;

  const ControlTemplate* FindControl(int control_id) const {
    for (const ControlTemplate& c : controls)
      if (c.id == control_id && control_id != IDC_STATIC) return &c;
    return nullptr;
  }
};

// The tool's resources: dialog templates by id (nullptr: none) and the string table (empty: none).
const DialogTemplate* FindDialogTemplate(int template_id);
std::wstring_view LoadResourceString(UINT string_id);

// The template's font as a logical font at 96 dots per inch (a negative height: the character height).
LOGFONTW FontOf(const DialogTemplate& dialog);

}  // namespace fcp::ui
