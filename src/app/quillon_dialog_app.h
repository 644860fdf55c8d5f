// The application object: prepares the platform, runs the check dialog, returns the check result.
//
// "Quillon_Dialog" is the name the tool has as a dialog application: its application class, the
// application name given to the framework and the about box say it. "Fix Core Power" is what the
// tool does and what it is called on the station: the executable, the check dialog
// (CFixCorePowerDlg) and the repair sequence. One program; both names come from the tool's
// definition and stay as they are.
#pragma once
#include "ui/cwinapp.h"

class CQuillon_DialogApp : public fcp::ui::CWinApp {
 public:
  CQuillon_DialogApp();
  BOOL InitInstance() override;
  int ExitInstance() override;
};
