// The application object: prepares the platform, runs the check dialog, returns the check result.
#pragma once
#include "ui/cwinapp.h"

class CQuillon_DialogApp : public fcp::ui::CWinApp {
 public:
  CQuillon_DialogApp();
  BOOL InitInstance() override;
  int ExitInstance() override;
};
