// The tool's dialog templates and string table: the one place where their ids, texts, positions
// (dialog units), fonts and styles are written down.
#include <algorithm>
#include <cmath>

#include "ui/dialog_template.h"
#include "ui/resource_ids.h"

namespace fcp::ui {
namespace {

constexpr ControlTemplate kCheckDialogControls[] = {
    {ControlKind::kStatic, IDC_STATIC, L"Camera", 6, 60, 24, 8, SS_LEFT, 0, 0},
    {ControlKind::kStatic, IDC_STATUS, L"N/A", 41, 6, 96, 42, SS_CENTER, 0, 0},
    {ControlKind::kButton, IDC_BUTTON_CHECK, L"Check", 64, 78, 50, 14, BS_PUSHBUTTON | WS_TABSTOP, 0, 0},
    {ControlKind::kEdit, IDC_EDIT_CAMERA, L"", 36, 58, 138, 14,
     ES_LEFT | ES_AUTOHSCROLL | ES_READONLY | WS_BORDER | WS_TABSTOP, 0, 0},
};

constexpr DialogTemplate kCheckDialog{
    .id = IDD_QUILLON_DIALOG_DIALOG,
    .caption = L"Fix Core Power",
    .x = 0, .y = 0, .cx = 179, .cy = 99,
    .style = DS_SETFONT | DS_MODALFRAME | WS_POPUP | WS_CAPTION | WS_SYSMENU,
    .ex_style = WS_EX_APPWINDOW,
    .font_face = L"Microsoft Sans Serif",
    .point_size = 14,
    .font_weight = 400,
    .italic = 0,
    .charset = 0,  // ANSI_CHARSET
    .controls = kCheckDialogControls,
};

constexpr ControlTemplate kAboutControls[] = {
    {ControlKind::kIcon, IDC_STATIC, L"", 14, 14, 21, 20, SS_ICON, 0, IDR_MAINFRAME},
    {ControlKind::kStatic, IDC_STATIC, L"Quillon_Dialog, Version 1.0", 42, 14, 114, 8, SS_LEFT | SS_NOPREFIX, 0, 0},
    {ControlKind::kButton, IDOK, L"OK", 113, 41, 50, 14, BS_DEFPUSHBUTTON | WS_GROUP | WS_TABSTOP, 0, 0},
};

constexpr DialogTemplate kAboutDialog{
    .id = IDD_ABOUTBOX,
    .caption = L"About Quillon_Dialog",
    .x = 0, .y = 0, .cx = 170, .cy = 62,
    .style = DS_SHELLFONT | DS_MODALFRAME | WS_POPUP | WS_CAPTION | WS_SYSMENU,
    .ex_style = 0,
    .font_face = L"MS Shell Dlg",
    .point_size = 8,
    .font_weight = 0,
    .italic = 0,
    .charset = 1,  // DEFAULT_CHARSET
    .controls = kAboutControls,
};

}  // namespace

const DialogTemplate* FindDialogTemplate(int template_id) {
  switch (template_id) {
    case IDD_QUILLON_DIALOG_DIALOG: return &kCheckDialog;
    case IDD_ABOUTBOX: return &kAboutDialog;
    default: return nullptr;
  }
}

std::wstring_view LoadResourceString(UINT string_id) {
  switch (string_id) {
    case IDS_ABOUTBOX: return L"&About Quillon_Dialog...";
    default: return {};
  }
}

LOGFONTW FontOf(const DialogTemplate& dialog) {
  LOGFONTW font{};
  font.lfHeight = -static_cast<LONG>(std::lround(dialog.point_size * 96.0 / 72.0));
  font.lfWeight = dialog.font_weight ? dialog.font_weight : FW_NORMAL;
  font.lfItalic = dialog.italic;
  font.lfCharSet = dialog.charset;
  const size_t n = std::min<size_t>(dialog.font_face.size(), LF_FACESIZE - 1);
  std::copy_n(dialog.font_face.begin(), n, font.lfFaceName);
  return font;
}

}  // namespace fcp::ui
