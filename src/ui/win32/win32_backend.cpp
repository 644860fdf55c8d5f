#include "ui/win32/win32_backend.h"

#include "ui/win32/dialog_template.h"
#include "ui/win32/win32_window.h"

namespace fcp::ui::win32 {

Win32Backend::Win32Backend(HINSTANCE instance) : instance_(instance) {}

Win32Backend::~Win32Backend() = default;

HICON Win32Backend::LoadIcon(int resource_id) {
  return ::LoadIconW(instance_, MAKEINTRESOURCEW(resource_id));
}

INT_PTR Win32Backend::DoModal(const DialogTemplate& dialog, DialogClient& client, DialogWindow* owner) {
  const DialogTemplateBuffer buffer(dialog);
  windows_.push_back(std::make_unique<Win32Window>(client));
  Win32Window& window = *windows_.back();
  const INT_PTR result = DialogBoxIndirectParamW(instance_, buffer.Get(), owner ? owner->GetHwnd() : nullptr,
                                                 &Win32Window::DialogProc, reinterpret_cast<LPARAM>(&window));
  if (window.Detach()) client.AttachWindow(nullptr);
  return result;
}

}  // namespace fcp::ui::win32
