// The Win32 user-interface vocabulary the dialog framework speaks: handle and message types, message
// and notification codes, window styles, LOGFONTW and RECT. On Windows they come from the platform
// headers; elsewhere they are defined here with the platform's values, so app code reads the same on
// every face and the win32 backend passes values through unchanged.
#pragma once
#include "os/win_types.h"

#ifdef _WIN32
#include <dbt.h>
#else
#include <cstddef>
#include <cstdint>

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

using UINT = unsigned int;
using INT_PTR = std::intptr_t;
using UINT_PTR = std::uintptr_t;
using LONG_PTR = std::intptr_t;
using DWORD_PTR = std::uintptr_t;
using WPARAM = UINT_PTR;
using LPARAM = LONG_PTR;
using LRESULT = LONG_PTR;
using COLORREF = DWORD;
using WCHAR = wchar_t;

// Opaque handles: the backends give them their meaning.
struct HWND__;
struct HICON__;
struct HBRUSH__;
struct HDC__;
struct HDEVNOTIFY__;
using HWND = HWND__*;
using HICON = HICON__*;
using HBRUSH = HBRUSH__*;
using HDC = HDC__*;
using HDEVNOTIFY = HDEVNOTIFY__*;
using HCURSOR = HICON;

constexpr COLORREF RGB(BYTE r, BYTE g, BYTE b) {
  return static_cast<COLORREF>(r) | static_cast<COLORREF>(g) << 8 | static_cast<COLORREF>(b) << 16;
}
constexpr BYTE GetRValue(COLORREF c) { return static_cast<BYTE>(c); }
constexpr BYTE GetGValue(COLORREF c) { return static_cast<BYTE>(c >> 8); }
constexpr BYTE GetBValue(COLORREF c) { return static_cast<BYTE>(c >> 16); }
constexpr WORD LOWORD(DWORD_PTR v) { return static_cast<WORD>(v & 0xFFFF); }
constexpr WORD HIWORD(DWORD_PTR v) { return static_cast<WORD>((v >> 16) & 0xFFFF); }
constexpr WPARAM MAKEWPARAM(WORD lo, WORD hi) { return static_cast<WPARAM>(static_cast<DWORD>(lo) | static_cast<DWORD>(hi) << 16); }

struct RECT {
  LONG left = 0, top = 0, right = 0, bottom = 0;
};

inline constexpr int LF_FACESIZE = 32;
struct LOGFONTW {
  LONG lfHeight = 0;
  LONG lfWidth = 0;
  LONG lfEscapement = 0;
  LONG lfOrientation = 0;
  LONG lfWeight = 0;
  BYTE lfItalic = 0;
  BYTE lfUnderline = 0;
  BYTE lfStrikeOut = 0;
  BYTE lfCharSet = 0;
  BYTE lfOutPrecision = 0;
  BYTE lfClipPrecision = 0;
  BYTE lfQuality = 0;
  BYTE lfPitchAndFamily = 0;
  WCHAR lfFaceName[LF_FACESIZE] = {};
};

// Window messages.
inline constexpr UINT WM_PAINT = 0x000F;
inline constexpr UINT WM_NULL = 0x0000;
inline constexpr UINT WM_CLOSE = 0x0010;
inline constexpr UINT WM_ICONERASEBKGND = 0x0027;
inline constexpr UINT WM_QUERYDRAGICON = 0x0037;
inline constexpr UINT WM_INITDIALOG = 0x0110;
inline constexpr UINT WM_COMMAND = 0x0111;
inline constexpr UINT WM_SYSCOMMAND = 0x0112;
inline constexpr UINT WM_TIMER = 0x0113;
inline constexpr UINT WM_CTLCOLOREDIT = 0x0133;
inline constexpr UINT WM_CTLCOLORBTN = 0x0135;
inline constexpr UINT WM_CTLCOLORDLG = 0x0136;
inline constexpr UINT WM_CTLCOLORSTATIC = 0x0138;
inline constexpr UINT WM_DEVICECHANGE = 0x0219;
inline constexpr UINT WM_USER = 0x0400;

// WM_CTLCOLOR kinds (nCtlColor of OnCtlColor).
inline constexpr UINT CTLCOLOR_EDIT = 1;
inline constexpr UINT CTLCOLOR_BTN = 3;
inline constexpr UINT CTLCOLOR_DLG = 4;
inline constexpr UINT CTLCOLOR_STATIC = 6;

inline constexpr WORD BN_CLICKED = 0;
inline constexpr int IDOK = 1;
inline constexpr int IDCANCEL = 2;

inline constexpr UINT MB_OK = 0x00000000;
inline constexpr UINT MB_ICONERROR = 0x00000010;
inline constexpr UINT MB_ICONWARNING = 0x00000030;

inline constexpr UINT MF_STRING = 0x00000000;
inline constexpr UINT MF_SEPARATOR = 0x00000800;

inline constexpr int SM_CXICON = 11;
inline constexpr int SM_CYICON = 12;

inline constexpr LONG FW_NORMAL = 400;
inline constexpr LONG FW_BOLD = 700;
inline constexpr BYTE DEFAULT_CHARSET = 1;

// Window and control styles.
inline constexpr DWORD WS_POPUP = 0x80000000;
inline constexpr DWORD WS_CHILD = 0x40000000;
inline constexpr DWORD WS_VISIBLE = 0x10000000;
inline constexpr DWORD WS_CAPTION = 0x00C00000;
inline constexpr DWORD WS_BORDER = 0x00800000;
inline constexpr DWORD WS_SYSMENU = 0x00080000;
inline constexpr DWORD WS_GROUP = 0x00020000;
inline constexpr DWORD WS_TABSTOP = 0x00010000;
inline constexpr DWORD WS_EX_APPWINDOW = 0x00040000;
inline constexpr DWORD DS_FIXEDSYS = 0x0008;
inline constexpr DWORD DS_SETFONT = 0x0040;
inline constexpr DWORD DS_MODALFRAME = 0x0080;
inline constexpr DWORD DS_SHELLFONT = DS_SETFONT | DS_FIXEDSYS;
inline constexpr DWORD SS_LEFT = 0x0000;
inline constexpr DWORD SS_CENTER = 0x0001;
inline constexpr DWORD SS_ICON = 0x0003;
inline constexpr DWORD SS_NOPREFIX = 0x0080;
inline constexpr DWORD BS_PUSHBUTTON = 0x0000;
inline constexpr DWORD BS_DEFPUSHBUTTON = 0x0001;
inline constexpr DWORD ES_LEFT = 0x0000;
inline constexpr DWORD ES_AUTOHSCROLL = 0x0080;
inline constexpr DWORD ES_READONLY = 0x0800;

// Device notifications (dbt.h).
inline constexpr WPARAM DBT_DEVICEARRIVAL = 0x8000;
inline constexpr WPARAM DBT_DEVICEREMOVECOMPLETE = 0x8004;
inline constexpr DWORD DBT_DEVTYP_DEVICEINTERFACE = 0x00000005;
inline constexpr DWORD DEVICE_NOTIFY_WINDOW_HANDLE = 0x00000000;
#endif

// Framework identifiers that the platform headers leave to the framework.
#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif
#ifndef ID_HELP
#define ID_HELP 0xE146
#endif
