// Identifiers of the tool's dialogs, controls, icon and strings. The Windows resource script uses the
// same icon and string numbers (res/resource.h); the dialogs themselves are data (ui/templates.h).
#pragma once

#ifndef IDR_MAINFRAME
#define IDR_MAINFRAME 128  // application icon: window icon, small icon, about-box picture
#endif
#ifndef IDS_ABOUTBOX
#define IDS_ABOUTBOX 101  // system-menu entry that opens the about box
#endif

#define IDD_ABOUTBOX 100
#define IDD_QUILLON_DIALOG_DIALOG 109
#define IDC_STATUS 1005
#define IDC_BUTTON_CHECK 1006
#define IDC_EDIT_CAMERA 1009
#define IDM_ABOUTBOX 0x0010  // system-menu command of the about box
