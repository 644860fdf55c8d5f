// The about box: icon, name and version, OK.
#pragma once
#include "ui/cdialogex.h"
#include "ui/resource_ids.h"

class CAboutDlg : public fcp::ui::CDialogEx {
 public:
  static constexpr UINT IDD = IDD_ABOUTBOX;
  CAboutDlg() : CDialogEx(IDD) {}
};
