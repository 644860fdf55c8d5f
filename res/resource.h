// Identifiers of the resources that FixCorePower.rc compiles into the Windows tool.
// The dialog templates (109, 100) are not resources: every dialog backend builds them from the shared
// template data of the dialog framework.
#pragma once

#define IDR_MAINFRAME 128  // application icon: window icon, small icon, about-box picture
#define IDS_ABOUTBOX 101   // system-menu entry that opens the about box
