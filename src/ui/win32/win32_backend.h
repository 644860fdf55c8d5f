// The Windows dialog backend: real modal dialogs from the framework's template data, icons from the
// executable's resources.
#pragma once
#include <windows.h>

#include <memory>
#include <vector>

#include "ui/backend.h"

namespace fcp::ui::win32 {

class Win32Window;

class Win32Backend final : public Backend {
 public:
  explicit Win32Backend(HINSTANCE instance);
  ~Win32Backend() override;

  const char* Name() const override { return "win32"; }
  bool HasDisplay() const override { return true; }
  HICON LoadIcon(int resource_id) override;
  INT_PTR DoModal(const DialogTemplate& dialog, DialogClient& client, DialogWindow* owner) override;

 private:
  HINSTANCE instance_;
  // Every window this backend made, kept until the backend goes: a control call that reaches a
  // closed dialog (from a thread that still holds it) finds a window that answers "gone".
  std::vector<std::unique_ptr<Win32Window>> windows_;
};

}  // namespace fcp::ui::win32
