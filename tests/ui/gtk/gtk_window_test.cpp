// The GTK dialog window outlives its dialog: once the dialog has ended, a thread that still holds its
// window (a worker the dialog did not wait for) finds every call a no-op, never freed memory, and
// nothing of the ended window reaches its client any more. Run under xvfb-run.
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <thread>

#include "ui/backend.h"
#include "ui/cwnd.h"
#include "ui/dialog_template.h"
#include "ui/linux/gtk_module_loader.h"
#include "ui/resource_ids.h"

namespace fcp::ui {
namespace {

using namespace std::chrono_literals;

constexpr UINT_PTR kEndTimer = 1;
constexpr UINT_PTR kStrayTimer = 2;

// What the worker's calls into the window returned once the dialog had ended.
struct LateCalls {
  std::wstring text;
  bool enabled = true;
  bool has_item = true;
  bool posted = true;
  RECT rect{1, 1, 1, 1};
};

// The check dialog as a worker uses it: from the start, a thread keeps changing and reading the
// status control; the dialog ends on a timer once the thread's calls have been carried out, leaving a
// fast timer armed and a message posted. After the end the thread calls once more and reports.
class WorkerDialog final : public DialogClient {
 public:
  ~WorkerDialog() {
    if (worker_.joinable()) worker_.join();
  }

  void AttachWindow(DialogWindow* window) override {
    if (window) held = window;
    attached = window != nullptr;
  }
  LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM) override {
    if (ended_) ++late_messages;
    if (message == WM_INITDIALOG) {
      DialogWindow* window = held;
      worker_ = std::thread([this, window] { Work(window); });
      window->SetTimer(kEndTimer, 20);
      window->SetTimer(kStrayTimer, 5);
    } else if (message == WM_TIMER && wParam == kEndTimer && carried_out_ >= 3) {
      held->PostMessage(WM_USER, 0, 0);  // still queued when the dialog ends
      held->EndDialog(IDOK);
    }
    return 0;
  }
  HBRUSH CtlColor(CDC&, int, UINT) override { return nullptr; }

  // The dialog is over (DoModal has returned).
  void End() { ended_ = true; }
  LateCalls Join() {
    worker_.join();
    return late_;
  }

  DialogWindow* held = nullptr;  // the window it was given, kept past the end
  std::atomic<bool> attached{false};
  std::atomic<int> late_messages{0};

 private:
  void Work(DialogWindow* window) {
    while (!ended_) {
      window->SetItemText(IDC_STATUS, L"N/A");
      if (window->GetItemText(IDC_STATUS) == L"N/A") ++carried_out_;
      std::this_thread::sleep_for(1ms);
    }
    window->SetItemText(IDC_STATUS, L"PASS");
    window->EnableItem(IDC_BUTTON_CHECK, true);
    late_.text = window->GetItemText(IDC_STATUS);
    late_.enabled = window->IsItemEnabled(IDC_BUTTON_CHECK);
    late_.has_item = window->HasItem(IDC_STATUS);
    late_.posted = window->PostMessage(WM_CLOSE, 0, 0);
    late_.rect = window->GetItemClientRect(IDC_STATUS);
  }

  std::thread worker_;
  std::atomic<bool> ended_{false};
  std::atomic<int> carried_out_{0};
  LateCalls late_;
};

// A dialog that ends at once; it only keeps the message loop turning for a while.
class ShortDialog final : public DialogClient {
 public:
  void AttachWindow(DialogWindow* window) override { window_ = window; }
  LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM) override {
    if (message == WM_INITDIALOG) window_->SetTimer(kEndTimer, 150);
    if (message == WM_TIMER && wParam == kEndTimer) window_->EndDialog(IDOK);
    return 0;
  }
  HBRUSH CtlColor(CDC&, int, UINT) override { return nullptr; }

 private:
  DialogWindow* window_ = nullptr;
};

int VisibleToplevels() {
  int visible = 0;
  GList* windows = gtk_window_list_toplevels();
  for (GList* item = windows; item; item = item->next) visible += gtk_widget_get_visible(GTK_WIDGET(item->data)) ? 1 : 0;
  g_list_free(windows);
  return visible;
}

class GtkWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    GtkModuleLoad load = LoadGtkBackend({FCP_GTK_MODULE_PATH}, nullptr);
    ASSERT_TRUE(load.backend) << "no GTK backend (run under xvfb-run): " << load.error;
    backend_ = std::move(load.backend);
    dialog_ = FindDialogTemplate(IDD_QUILLON_DIALOG_DIALOG);
    ASSERT_NE(dialog_, nullptr);
  }

  std::unique_ptr<Backend> backend_;
  const DialogTemplate* dialog_ = nullptr;
};

TEST_F(GtkWindowTest, WindowOutlivesItsDialogAndIgnoresEveryLateCall) {
  WorkerDialog client;
  EXPECT_EQ(backend_->DoModal(*dialog_, client, nullptr), IDOK);
  client.End();
  ASSERT_NE(client.held, nullptr);
  EXPECT_FALSE(client.attached);
  EXPECT_EQ(VisibleToplevels(), 0) << "the widgets go with the dialog";

  // The worker's calls after the end: dropped, with empty results.
  const LateCalls late = client.Join();
  EXPECT_EQ(late.text, L"");
  EXPECT_FALSE(late.enabled);
  EXPECT_FALSE(late.has_item);
  EXPECT_FALSE(late.posted);
  EXPECT_EQ(late.rect.right - late.rect.left, 0);

  // The window's own calls, on the dialog's thread: none makes a widget, a timer or a registration.
  DialogWindow& window = *client.held;
  EXPECT_EQ(window.GetHwnd(), nullptr);
  EXPECT_EQ(window.SetTimer(kEndTimer, 1), 0u);
  EXPECT_FALSE(window.KillTimer(kStrayTimer)) << "the window's timers ended with it";
  EXPECT_FALSE(window.MoveWindow(0, 0, 10, 10, true));
  EXPECT_FALSE(window.HasSystemMenu());
  EXPECT_FALSE(window.AppendSystemMenu(MF_STRING, IDM_ABOUTBOX, L"&About"));
  EXPECT_FALSE(window.IsIconic());
  EXPECT_EQ(window.MessageBox(L"late", L"", MB_OK), 0) << "no box without its window";
  DeviceInterfaceFilter filter{32, DBT_DEVTYP_DEVICEINTERFACE, 0, kUsbDeviceInterfaceClass};
  EXPECT_EQ(window.RegisterDeviceNotification(filter, DEVICE_NOTIFY_WINDOW_HANDLE), nullptr);
  window.SetIcon(nullptr, true);
  window.EndDialog(IDCANCEL);

  // Another dialog turns the loop: the ended window's armed timer and its queued messages stay away.
  ShortDialog next;
  EXPECT_EQ(backend_->DoModal(*dialog_, next, nullptr), IDOK);
  EXPECT_EQ(client.late_messages, 0);
  EXPECT_EQ(VisibleToplevels(), 0);
}

}  // namespace
}  // namespace fcp::ui
